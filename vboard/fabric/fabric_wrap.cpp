// SPDX-License-Identifier: GPL-2.0-or-later
// The C interface of fabric_abi.h over one Verilated design (class Vfabric),
// compiled together with it into the design's library by build.sh, which
// writes fabric_ports.h: the design's identity and which of the board's
// ports its top module has.
//
// One cycle is two evaluations: clk low with the inputs of the cycle (so that
// a ready that follows a valid combinationally settles and can be sampled
// before the edge), then clk high. Verilator notices an edge only against
// the clock's value at the previous evaluation, so neither can be skipped.
//
// A design's $stop, $fatal, $finish or failed assertion halts the design,
// not the process: Verilator's calls for them land in this file (build.sh
// defines VL_USER_STOP and the others), which records where and why. A
// halted design runs no more cycles, answers no transfer (a bus error, as a
// hung design gets), keeps its outputs as they were and drops its interrupt,
// until reset() starts it again from a new model.
#include "fabric_abi.h"
#include "fabric_ports.h"
#include "Vfabric.h"
#include "verilated.h"
#include "verilated_fst_c.h"
#include "verilated_save.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

namespace {

const uint64_t NS_PER_S = 1000000000;
const uint64_t NEVER = UINT64_MAX;

constexpr uint32_t low_bits(unsigned n)
{
	return n >= 32 ? 0xFFFFFFFFu : (1u << n) - 1;
}

// The board's ports as far as the design has them: more buttons and switches
// than the board's are tied to 0, LEDs beyond its ten are not shown.
const unsigned BOARD_KEYS = 4, BOARD_SWITCHES = 12, BOARD_LEDS = 10;
const uint32_t KEY_MASK = low_bits(FABRIC_KEY_BITS < BOARD_KEYS ? FABRIC_KEY_BITS : BOARD_KEYS);
const uint32_t SW_MASK =
	low_bits(FABRIC_SW_BITS < BOARD_SWITCHES ? FABRIC_SW_BITS : BOARD_SWITCHES);
const uint32_t LEDR_MASK = low_bits(FABRIC_LEDR_BITS < BOARD_LEDS ? FABRIC_LEDR_BITS : BOARD_LEDS);
const uint8_t HEX_OFF = 0x7F;

// What a failed restore throws out of Verilator's reader (vl_fatal below).
struct RestoreFailed : std::runtime_error {
	using std::runtime_error::runtime_error;
};
bool restoring;

const size_t HALT_TEXT = 240;

// The wrapper's own state, saved ahead of the design's.
struct TimeState {
	char id[80];
	char halted[HALT_TEXT]; // why the design halted; empty while it runs
	uint64_t clock_hz;
	uint64_t epoch_ns;	// when cycle 0 began
	uint64_t cycles;	// cycles run since then
	uint64_t release_cycle; // a press ends at this cycle (NEVER: none)
	uint32_t key, sw, pressed;
};

// Verilator's serialisation into memory instead of a file.
class MemorySave : public VerilatedSerialize {
public:
	explicit MemorySave(std::string *out) : out_(out)
	{
		m_isOpen = true;
		header();
	}
	~MemorySave() override
	{
		trailer();
		flush();
	}
	void flush() override
	{
		out_->append(reinterpret_cast<const char *>(m_bufp), m_cp - m_bufp);
		m_cp = m_bufp;
	}

private:
	std::string *out_;
};

class MemoryRestore : public VerilatedDeserialize {
public:
	MemoryRestore(const uint8_t *data, size_t size) : next_(data), end_(data + size)
	{
		m_isOpen = true;
		m_endp = m_bufp;
		header();
	}
	void finish()
	{
		trailer();
		if (next_ != end_ || m_cp != m_endp)
			throw RestoreFailed("trailing bytes");
	}

protected:
	void fill() override
	{
		size_t left = m_endp - m_cp;
		size_t take = end_ - next_;

		std::memmove(m_bufp, m_cp, left);
		if (take > bufferSize() - left)
			take = bufferSize() - left;
		std::memcpy(m_bufp + left, next_, take);
		next_ += take;
		m_cp = m_bufp;
		m_endp = m_bufp + left + take;
		// Reading past the end reads zeros, which the trailer refuses.
		std::memset(m_endp, 0, bufferSize() - left - take);
	}

private:
	const uint8_t *next_, *end_;
};

// The last line the design printed: a failed assertion's or $fatal's
// message comes just before the stop it leads to.
char last_line[HALT_TEXT];

} // namespace

struct fabric;
// The fabric whose design Verilator is evaluating: the one a stop halts.
static fabric *evaluating;
// The fabrics with a trace open: closed as the process exits, as a trace's
// FST file is whole only once closed. Closed by a handler registered after
// Verilator's own statics were made, so that it runs before they go.
static std::set<fabric *> tracing;
static void close_traces();

struct fabric {
	std::unique_ptr<VerilatedContext> context;
	std::unique_ptr<Vfabric> top;
	TimeState t;
	std::string saved;
	std::string folder; // where the initial blocks run ("": here)
	bool begun = false; // the model's first evaluation (its initial blocks) is done
	// A trace: the signals (FST) and the transfers and interrupt changes
	// (text), in picoseconds of the caller's time, within [from, until).
	std::unique_ptr<VerilatedFstC> fst;
	FILE *trace_log = nullptr;
	uint64_t trace_from_ps = 0, trace_until_ps = NEVER, last_dump_ps = 0;
	bool dumped = false, last_irq = false;

	fabric(uint64_t clock_hz, const char *initial_folder)
	    : folder(initial_folder ? initial_folder : "")
	{
		new_model();
		std::memset(&t, 0, sizeof(t));
		std::snprintf(t.id, sizeof(t.id), "%s", FABRIC_DESIGN_ID);
		t.clock_hz = clock_hz;
		t.release_cycle = NEVER;
	}

	void apply_inputs()
	{
#if FABRIC_KEY_BITS
		top->key = (t.key | t.pressed) & KEY_MASK;
#endif
#if FABRIC_SW_BITS
		top->sw = t.sw & SW_MASK;
#endif
	}

	~fabric()
	{
		drop_model();
	}

	// Verilator finds a model's scopes through the thread's current
	// context, also as it destroys them: that must be the model's own.
	void drop_model()
	{
		stop_trace();
		if (top) {
			Verilated::threadContextp(context.get());
			top.reset();
		}
	}

	void new_model()
	{
		drop_model();
		context.reset(new VerilatedContext);
		context->traceEverOn(true);
		top.reset(new Vfabric(context.get(), FABRIC_TOP));
		begun = false;
	}

	// Picoseconds of the caller's time at which cycle n begins; its clock
	// rises half a cycle later.
	uint64_t cycle_ps(uint64_t n) const
	{
		return t.epoch_ns * 1000 +
		       (uint64_t)((unsigned __int128)n * 1000 * NS_PER_S / t.clock_hz);
	}

	bool start_trace(const char *path, uint64_t from_ns, uint64_t until_ns)
	{
		stop_trace();
		std::string log_path = std::string(path) + ".log";
		trace_log = std::fopen(log_path.c_str(), "w");
		if (!trace_log)
			return false;
		// Whole lines as they come: the log holds up to a process that ends
		// before the trace does.
		std::setvbuf(trace_log, nullptr, _IOLBF, 0);
		fst.reset(new VerilatedFstC);
		Verilated::threadContextp(context.get());
		top->trace(fst.get(), 99);
		fst->set_time_unit("1ps");
		fst->set_time_resolution("1ps");
		fst->open(path);
		if (!fst->isOpen()) {
			stop_trace();
			errno = EIO;
			return false;
		}
		static bool handler = std::atexit(close_traces) == 0;
		(void)handler;
		tracing.insert(this);
		trace_from_ps = from_ns * 1000;
		trace_until_ps = until_ns > NEVER / 1000 ? NEVER : until_ns * 1000;
		dumped = false;
		last_irq = irq();
		std::fprintf(trace_log,
			     "# %s at %" PRIu64 " Hz: ns of the caller's time, cycle, event\n",
			     FABRIC_TOP, t.clock_hz);
		return true;
	}

	void stop_trace()
	{
		tracing.erase(this);
		if (trace_log) {
			std::fclose(trace_log);
			trace_log = nullptr;
		}
		if (fst) {
			fst->close();
			fst.reset();
		}
	}

	bool irq() const
	{
#if FABRIC_HAS_IRQ
		return !halted() && (top->irq & 1);
#else
		return false;
#endif
	}

	// A line of the trace's log at picosecond ps of cycle n, inside the
	// trace's span.
	void log_line(uint64_t ps, uint64_t n, const char *event)
	{
		if (ps < trace_from_ps || ps >= trace_until_ps)
			return;
		std::fprintf(trace_log, "%" PRIu64 ".%03" PRIu64 " %" PRIu64 " %s\n", ps / 1000,
			     ps % 1000, n, event);
	}

	// The signals as they are after an evaluation, at their half cycle.
	void dump()
	{
		uint64_t ps = cycle_ps(t.cycles) +
			      (top->clk ? (uint64_t)(500 * NS_PER_S / t.clock_hz) : 0);

		if (ps >= trace_until_ps) {
			stop_trace();
			return;
		}
		if (ps < trace_from_ps || (dumped && ps <= last_dump_ps))
			return;
		fst->dump(ps);
		last_dump_ps = ps;
		dumped = true;
		bool now_irq = irq();
		if (now_irq != last_irq) {
			log_line(ps, t.cycles, now_irq ? "irq 1" : "irq 0");
			last_irq = now_irq;
		}
	}

	void log_transfer(const char *what, uint32_t addr, uint32_t data, fabric_status status)
	{
		static const char *const names[] = {"OKAY", "EXOKAY", "SLVERR", "DECERR",
						    "no answer"};
		char line[96];

		if (!trace_log)
			return;
		std::snprintf(line, sizeof(line), "%s 0x%03" PRIx32 " %s 0x%08" PRIx32 " %s", what,
			      addr, what[0] == 'r' ? "->" : "<-", data, names[status]);
		// The cycle in which it ended: the last one run.
		log_line(cycle_ps(t.cycles - 1), t.cycles - 1, line);
	}

	// The first evaluation runs the initial blocks, in the design's folder:
	// Verilator opens $readmemh's files from the working directory.
	void first_eval()
	{
		int back = folder.empty() ? -1 : open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);

		if (back >= 0 && chdir(folder.c_str()) != 0) {
			close(back);
			back = -1;
		}
		top->eval();
		begun = true;
		if (back >= 0) {
			if (fchdir(back) != 0)
				std::perror("fabric: back to the working directory");
			close(back);
		}
	}

	bool halted() const
	{
		return t.halted[0] != 0;
	}

	void halt(const char *why)
	{
		if (!halted())
			std::snprintf(t.halted, sizeof(t.halted), "%s", why);
	}

	void eval()
	{
		evaluating = this;
		Verilated::threadContextp(context.get());
		if (begun)
			top->eval();
		else
			first_eval();
		evaluating = nullptr;
		if (fst)
			dump();
	}

	void tick()
	{
		top->clk = 0;
		eval();
		top->clk = 1;
		finish_cycle();
	}

	// The rising half of a cycle, with clk just set high; a press ends
	// with the cycle it was due for.
	void finish_cycle()
	{
		eval();
		if (++t.cycles == t.release_cycle) {
			t.pressed = 0;
			t.release_cycle = NEVER;
			apply_inputs();
		}
	}

	uint64_t due(uint64_t now_ns) const
	{
		if (now_ns <= t.epoch_ns)
			return 0;
		return (unsigned __int128)(now_ns - t.epoch_ns) * t.clock_hz / NS_PER_S;
	}

	// When cycle n begins: the first nanosecond at which it is due.
	uint64_t time_of(uint64_t n) const
	{
		unsigned __int128 ns =
			((unsigned __int128)n * NS_PER_S + t.clock_hz - 1) / t.clock_hz;

		return ns > UINT64_MAX - t.epoch_ns ? NEVER : t.epoch_ns + (uint64_t)ns;
	}

	void sync(uint64_t now_ns)
	{
		uint64_t target = due(now_ns);

		while (t.cycles < target && !halted())
			tick();
	}

	void idle_bus()
	{
		top->s_axi_awvalid = 0;
		top->s_axi_wvalid = 0;
		top->s_axi_bready = 0;
		top->s_axi_arvalid = 0;
		top->s_axi_rready = 0;
	}

	void reset(uint64_t now_ns)
	{
		if (halted()) {
			new_model();
			t.halted[0] = 0;
		}
		idle_bus();
		top->rst_n = 0;
		for (unsigned i = 0; i < FABRIC_RESET_CYCLES; i++)
			tick();
		top->rst_n = 1;
		t.epoch_ns = now_ns;
		t.cycles = 0;
		t.pressed = 0;
		t.release_cycle = NEVER;
		apply_inputs();
	}

	static fabric_status status(uint8_t resp)
	{
		return static_cast<fabric_status>(resp & 3);
	}

	// Address and data offered together; the response is taken once both
	// were accepted.
	fabric_status write(uint32_t addr, uint32_t data, uint32_t strb)
	{
		bool aw_done = false, w_done = false;

		top->s_axi_awaddr = addr & ADDR_MASK;
		top->s_axi_awvalid = 1;
		top->s_axi_wdata = data;
		top->s_axi_wstrb = strb & 0xF;
		top->s_axi_wvalid = 1;
		for (unsigned n = 0; n < FABRIC_TRANSFER_CYCLES && !halted(); n++) {
			top->clk = 0;
			eval();
			bool aw = top->s_axi_awvalid && top->s_axi_awready;
			bool w = top->s_axi_wvalid && top->s_axi_wready;
			bool b = top->s_axi_bready && top->s_axi_bvalid;
			uint8_t resp = top->s_axi_bresp;
			top->clk = 1;
			finish_cycle();
			if (b) {
				top->s_axi_bready = 0;
				return status(resp);
			}
			if (aw) {
				top->s_axi_awvalid = 0;
				aw_done = true;
			}
			if (w) {
				top->s_axi_wvalid = 0;
				w_done = true;
			}
			top->s_axi_bready = aw_done && w_done;
		}
		idle_bus();
		return FABRIC_TIMEOUT;
	}

	fabric_status read(uint32_t addr, uint32_t *data)
	{
		top->s_axi_araddr = addr & ADDR_MASK;
		top->s_axi_arvalid = 1;
		for (unsigned n = 0; n < FABRIC_TRANSFER_CYCLES && !halted(); n++) {
			top->clk = 0;
			eval();
			bool ar = top->s_axi_arvalid && top->s_axi_arready;
			bool r = top->s_axi_rready && top->s_axi_rvalid;
			uint32_t rdata = top->s_axi_rdata;
			uint8_t resp = top->s_axi_rresp;
			top->clk = 1;
			finish_cycle();
			if (r) {
				top->s_axi_rready = 0;
				*data = rdata;
				return status(resp);
			}
			if (ar) {
				top->s_axi_arvalid = 0;
				top->s_axi_rready = 1;
			}
		}
		idle_bus();
		*data = 0;
		return FABRIC_TIMEOUT;
	}

	void press(uint32_t mask)
	{
		t.pressed |= mask;
		t.release_cycle = t.cycles + FABRIC_PRESS_CYCLES;
		apply_inputs();
	}

	void outputs(fabric_outputs *out) const
	{
		std::memset(out, 0, sizeof(*out));
		std::memset(out->hex, HEX_OFF, sizeof(out->hex));
#if FABRIC_HAS_IRQ
		out->irq = !halted() && (top->irq & 1);
#endif
#if FABRIC_LEDR_BITS
		out->ledr = top->ledr & LEDR_MASK;
#endif
#define FABRIC_HEX_OUT(n) out->hex[n] = top->hex##n & HEX_OFF;
		FABRIC_FOR_EACH_HEX(FABRIC_HEX_OUT)
#undef FABRIC_HEX_OUT
	}

	const void *save(size_t *size)
	{
		saved.assign(reinterpret_cast<const char *>(&t), sizeof(t));
		{
			MemorySave os(&saved);
			os << *top;
		}
		*size = saved.size();
		return saved.data();
	}

	// Into a new model, which replaces this one only once all of it was
	// read: a state that does not fit leaves the fabric as it was.
	bool restore(const void *data, size_t size)
	{
		TimeState in;

		if (size < sizeof(in))
			return false;
		std::memcpy(&in, data, sizeof(in));
		if (std::memcmp(in.id, t.id, sizeof(in.id)) || in.clock_hz != t.clock_hz)
			return false;
		std::unique_ptr<VerilatedContext> new_context(new VerilatedContext);
		std::unique_ptr<Vfabric> new_top(new Vfabric(new_context.get(), FABRIC_TOP));
		bool fits = true;
		restoring = true;
		try {
			MemoryRestore is(static_cast<const uint8_t *>(data) + sizeof(in),
					 size - sizeof(in));
			is >> *new_top;
			is.finish();
		} catch (const RestoreFailed &) {
			fits = false;
		}
		restoring = false;
		if (fits) {
			stop_trace(); // it follows the model restored over
			top.swap(new_top);
			context.swap(new_context);
			begun = false; // a new model: its first evaluation in the folder too
			t = in;
		}
		// The model not kept goes with its own context current.
		Verilated::threadContextp(new_context.get());
		new_top.reset();
		Verilated::threadContextp(context.get());
		return fits;
	}

	static const uint32_t ADDR_MASK = low_bits(FABRIC_ADDR_BITS) & ~3u;
};

static void close_traces()
{
	while (!tracing.empty())
		(*tracing.begin())->stop_trace();
}

namespace {

// "FILE:LINE: WHY", WHY the message the design printed for FILE:LINE just
// before, else WHAT.
void halt_evaluating(const char *filename, int linenum, const char *what)
{
	char where[HALT_TEXT], why[HALT_TEXT];
	const char *name = filename ? filename : "", *base = std::strrchr(name, '/'), *said;

	// The message names the file by its base name, the stop by its path.
	std::snprintf(where, sizeof(where), "%s:%d: ", base ? base + 1 : name, linenum);
	said = std::strstr(last_line, where);
	std::snprintf(why, sizeof(why), "%s:%d: %s", name, linenum,
		      said ? said + std::strlen(where) : what);
	if (evaluating)
		evaluating->halt(why);
	else // outside an evaluation: Verilator's own trouble, nothing to halt
		std::fprintf(stderr, "fabric: %s\n", why);
}

} // namespace

// Verilator's fatal errors: a restore that does not fit is refused; anything
// else (the design's, or its evaluation's) halts the design.
void vl_fatal(const char *filename, int linenum, const char *, const char *msg)
{
	if (restoring)
		throw RestoreFailed(msg);
	halt_evaluating(filename, linenum, msg);
}

void vl_stop(const char *filename, int linenum, const char *)
{
	halt_evaluating(filename, linenum, "$stop");
}

void vl_finish(const char *filename, int linenum, const char *)
{
	halt_evaluating(filename, linenum, "$finish");
}

// The design's $display and Verilator's messages: on stderr, as QEMU's
// standard output may be the board's console. The last line is kept.
int fabric_printf(const char *format, ...)
{
	char text[1024];
	va_list args;
	int n;

	va_start(args, format);
	n = std::vsnprintf(text, sizeof(text), format, args);
	va_end(args);
	std::fputs(text, stderr);
	size_t len = std::strlen(text);
	while (len && text[len - 1] == '\n')
		text[--len] = 0;
	if (len) {
		const char *line = std::strrchr(text, '\n');
		std::snprintf(last_line, sizeof(last_line), "%s", line ? line + 1 : text);
	}
	return n;
}

namespace {

const fabric_design design = {
	FABRIC_TOP,	FABRIC_DESIGN_ID, FABRIC_ADDR_BITS, FABRIC_KEY_BITS,
	FABRIC_SW_BITS, FABRIC_LEDR_BITS, FABRIC_HEX_MASK,  FABRIC_HAS_IRQ,
};

fabric *op_create(uint64_t clock_hz, const char *folder)
{
	if (!clock_hz)
		return nullptr;
	fabric *f = new fabric(clock_hz, folder);
	f->reset(0);
	return f;
}

void op_destroy(fabric *f)
{
	delete f;
}

void op_reset(fabric *f, uint64_t now_ns)
{
	f->reset(now_ns);
}

void op_sync(fabric *f, uint64_t now_ns)
{
	f->sync(now_ns);
}

// A halted design answers nothing, at once.
fabric_status op_read(fabric *f, uint64_t now_ns, uint32_t addr, uint32_t *data)
{
	f->sync(now_ns);
	*data = 0;
	fabric_status status = f->halted() ? FABRIC_TIMEOUT : f->read(addr, data);
	f->log_transfer("read", addr, *data, status);
	return status;
}

fabric_status op_write(fabric *f, uint64_t now_ns, uint32_t addr, uint32_t data, uint32_t strb)
{
	f->sync(now_ns);
	fabric_status status = f->halted() ? FABRIC_TIMEOUT : f->write(addr, data, strb);
	f->log_transfer("write", addr, data, status);
	return status;
}

void op_set_inputs(fabric *f, uint64_t now_ns, uint32_t key, uint32_t sw)
{
	f->sync(now_ns);
	f->t.key = key;
	f->t.sw = sw;
	f->apply_inputs();
}

void op_press(fabric *f, uint64_t now_ns, uint32_t mask)
{
	f->sync(now_ns);
	if (!f->halted())
		f->press(mask);
}

void op_outputs(fabric *f, fabric_outputs *out)
{
	f->outputs(out);
}

uint64_t op_cycles(fabric *f)
{
	return f->t.cycles;
}

uint64_t op_next_ns(fabric *f)
{
	uint64_t poll = f->time_of(f->t.cycles);

	if (f->halted())
		return NEVER;
	// Without an interrupt, nothing the design does by itself needs to be
	// seen before the next access or input.
	if (!FABRIC_HAS_IRQ || poll > UINT64_MAX - FABRIC_POLL_NS)
		poll = NEVER;
	else
		poll += FABRIC_POLL_NS;
	if (f->t.release_cycle != NEVER) {
		uint64_t release = f->time_of(f->t.release_cycle);

		if (release < poll)
			return release;
	}
	return poll;
}

const void *op_save(fabric *f, size_t *size)
{
	return f->save(size);
}

bool op_restore(fabric *f, const void *data, size_t size)
{
	return f->restore(data, size);
}

const char *op_halted(fabric *f)
{
	return f->halted() ? f->t.halted : nullptr;
}

bool op_trace(fabric *f, const char *path, uint64_t from_ns, uint64_t until_ns)
{
	if (!path) {
		f->stop_trace();
		return true;
	}
	return f->start_trace(path, from_ns, until_ns);
}

const fabric_ops ops = {
	FABRIC_ABI_VERSION, &design,	   op_create, op_destroy, op_reset,  op_sync,	 op_read,
	op_write,	    op_set_inputs, op_press,  op_outputs, op_cycles, op_next_ns, op_save,
	op_restore,	    op_halted,	   op_trace,
};

} // namespace

extern "C" __attribute__((visibility("default"))) const fabric_ops *boardio_fabric_entry(void)
{
	return &ops;
}
