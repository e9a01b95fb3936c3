// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The FPGA fabric: a Verilog design compiled by vboard/fabric/build.sh into
 * a shared library, loaded into QEMU through the fabric's C interface
 * (fabric_abi.h), behind an AXI4-Lite slave port in the lightweight
 * bridge's window.
 *
 * The design's clock follows the virtual clock: it runs the cycles due
 * before every access and input change, and, for a design with an
 * interrupt output, on a timer between accesses (FABRIC_POLL_NS), at which
 * its interrupt reaches the interrupt line. A load reads the word; an 8- or 16-bit store is a store
 * of its byte lanes (the write strobes). A SLVERR or DECERR response is a bus error, and so is a
 * transfer the design leaves unanswered for FABRIC_TRANSFER_CYCLES of its cycles, which also goes
 * to the guest-error log. The design's state migrates as one buffer, its time with it.
 *
 * A design that halts (its $stop, $fatal, $finish or a failed assertion) leaves the machine
 * running: the reason goes once to the guest-error log and to stderr, and from then on every
 * transfer is a bus error at once, the outputs stay as they were and the interrupt drops, until
 * the design is reset (vboard_fabric_restart: scripts/board fabric reset).
 *
 * A trace (the property trace, or vboard_fabric_trace) records the design's signals in an FST
 * file and its transfers and interrupt changes in a log beside it, in guest time: from trace-from
 * nanoseconds after the machine first runs (booted or restored), for trace-for (0: to the end).
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qemu/log.h"
#include "qemu/error-report.h"
#include "qemu/timer.h"
#include "hw/irq.h"
#include "hw/qdev-properties.h"
#include "hw/sysbus.h"
#include "migration/vmstate.h"
#include "sysemu/runstate.h"
#include <dlfcn.h>

#include "vboard.h"
#include "fabric_abi.h"

struct VBoardFabric {
	SysBusDevice parent_obj;
	MemoryRegion mmio;
	qemu_irq irq;
	QEMUTimer *timer;
	uint64_t deadline; /* what the timer is armed for, UINT64_MAX: not */
	char *library;
	char *folder; /* where the design's initial blocks run */
	uint64_t clock_hz;
	void *handle;
	const struct fabric_ops *ops;
	struct fabric *f;
	bool halt_told; /* the design's halt went to the logs */
	char *trace;	/* a trace's file, started when the machine first runs */
	uint64_t trace_from_ns, trace_for_ns;
	VMChangeStateEntry *runs;
	/* The design's state while it migrates. */
	uint8_t *state;
	uint32_t state_size;
};

static uint64_t fabric_now(void)
{
	return qemu_clock_get_ns(QEMU_CLOCK_VIRTUAL);
}

/* The interrupt line as the design drives it, and a wake-up when it should
 * run next; never a re-arm with the deadline unchanged, which would kick
 * the processor out of its loop for nothing. */
static void fabric_update(VBoardFabric *s)
{
	struct fabric_outputs out;
	uint64_t next;

	const char *halted = s->ops->halted(s->f);

	if (halted && !s->halt_told) {
		qemu_log_mask(LOG_GUEST_ERROR, "vboard fabric: the design halted: %s\n", halted);
		error_report("vboard fabric: the design halted: %s (its window answers with bus "
			     "errors until 'board fabric reset')",
			     halted);
		s->halt_told = true;
	}
	s->ops->outputs(s->f, &out);
	qemu_set_irq(s->irq, out.irq);
	next = s->ops->next_ns(s->f);
	if (next == s->deadline)
		return;
	if (next > INT64_MAX)
		timer_del(s->timer);
	else
		timer_mod(s->timer, next);
	s->deadline = next;
}

static void fabric_timer(void *opaque)
{
	VBoardFabric *s = opaque;

	s->deadline = UINT64_MAX;
	s->ops->sync(s->f, fabric_now());
	fabric_update(s);
}

static const char *const fabric_status_name[] = {
	[FABRIC_SLVERR] = "SLVERR",
	[FABRIC_DECERR] = "DECERR",
};

/* The bus's verdict on a transfer: only OKAY and EXOKAY complete it. */
static MemTxResult fabric_result(VBoardFabric *s, enum fabric_status status, const char *what,
				 hwaddr offset)
{
	if (status == FABRIC_OKAY || status == FABRIC_EXOKAY)
		return MEMTX_OK;
	if (s->ops->halted(s->f))
		qemu_log_mask(LOG_GUEST_ERROR,
			      "vboard fabric: %s at 0x%" HWADDR_PRIx
			      ": the design halted: bus error\n",
			      what, offset);
	else if (status == FABRIC_TIMEOUT)
		qemu_log_mask(LOG_GUEST_ERROR,
			      "vboard fabric: %s at 0x%" HWADDR_PRIx
			      " not answered within %d cycles: bus error\n",
			      what, offset, FABRIC_TRANSFER_CYCLES);
	else
		qemu_log_mask(LOG_GUEST_ERROR,
			      "vboard fabric: %s at 0x%" HWADDR_PRIx " answered %s: bus error\n",
			      what, offset, fabric_status_name[status]);
	return MEMTX_ERROR;
}

static MemTxResult fabric_read(void *opaque, hwaddr offset, uint64_t *data, unsigned size,
			       MemTxAttrs attrs)
{
	VBoardFabric *s = opaque;
	unsigned lane = offset & 3;
	uint32_t word;
	enum fabric_status status;

	status = s->ops->read(s->f, fabric_now(), offset & ~3, &word);
	*data = extract32(word, lane * 8, size * 8);
	fabric_update(s);
	return fabric_result(s, status, "read", offset);
}

static MemTxResult fabric_write(void *opaque, hwaddr offset, uint64_t value, unsigned size,
				MemTxAttrs attrs)
{
	VBoardFabric *s = opaque;
	unsigned lane = offset & 3;
	uint32_t strb = MAKE_64BIT_MASK(lane, size);
	enum fabric_status status;

	status = s->ops->write(s->f, fabric_now(), offset & ~3, value << (lane * 8), strb);
	fabric_update(s);
	return fabric_result(s, status, "write", offset);
}

/* Aligned accesses of 1, 2 or 4 bytes, each reaching the design as one
 * transfer; an unaligned one faults in the processor (valid.unaligned, with
 * the project's patch to QEMU's softmmu). */
static const MemoryRegionOps fabric_ops = {
	.read_with_attrs = fabric_read,
	.write_with_attrs = fabric_write,
	.endianness = DEVICE_LITTLE_ENDIAN,
	.valid = {.min_access_size = 1, .max_access_size = 4, .unaligned = false},
	.impl = {.min_access_size = 1, .max_access_size = 4, .unaligned = false},
};

/* --- what the machine sees of it ---------------------------------------- */

uint64_t vboard_fabric_span(VBoardFabric *s)
{
	return 1ull << s->ops->design->addr_bits;
}

const char *vboard_fabric_top(VBoardFabric *s)
{
	return s->ops->design->top;
}

bool vboard_fabric_has_irq(VBoardFabric *s)
{
	return s->ops->design->irq;
}

void vboard_fabric_set_inputs(VBoardFabric *s, uint32_t key, uint32_t sw)
{
	s->ops->set_inputs(s->f, fabric_now(), key, sw);
	fabric_update(s);
}

void vboard_fabric_press(VBoardFabric *s, uint32_t mask)
{
	s->ops->press(s->f, fabric_now(), mask);
	fabric_update(s);
}

bool vboard_fabric_trace(VBoardFabric *s, const char *path, uint64_t from_ns, uint64_t for_ns,
			 Error **errp)
{
	uint64_t from = fabric_now() + from_ns;

	if (!s->ops->trace(s->f, path, from, for_ns ? from + for_ns : UINT64_MAX)) {
		error_setg_errno(errp, errno, "vboard fabric: cannot trace into %s", path);
		return false;
	}
	return true;
}

/* The trace asked for on the command line, once the machine's time is its
 * own: after a boot's reset or a restore. */
static void fabric_runs(void *opaque, bool running, RunState state)
{
	VBoardFabric *s = opaque;
	Error *err = NULL;

	if (!running)
		return;
	qemu_del_vm_change_state_handler(s->runs);
	s->runs = NULL;
	if (!vboard_fabric_trace(s, s->trace, s->trace_from_ns, s->trace_for_ns, &err))
		error_report_err(err);
}

void vboard_fabric_restart(VBoardFabric *s)
{
	s->ops->reset(s->f, fabric_now());
	s->halt_told = false;
	fabric_update(s);
}

void vboard_fabric_outputs(VBoardFabric *s, struct fabric_outputs *out)
{
	s->ops->sync(s->f, fabric_now());
	fabric_update(s);
	s->ops->outputs(s->f, out);
}

/* --- device ------------------------------------------------------------- */

static void fabric_realize(DeviceState *dev, Error **errp)
{
	VBoardFabric *s = VBOARD_FABRIC(dev);
	fabric_entry_fn entry;

	if (!s->library) {
		error_setg(errp,
			   "vboard fabric: no library (build one with vboard/fabric/build.sh)");
		return;
	}
	s->handle = dlopen(s->library, RTLD_NOW | RTLD_LOCAL);
	if (!s->handle) {
		error_setg(errp, "vboard fabric: %s", dlerror());
		return;
	}
	entry = (fabric_entry_fn)dlsym(s->handle, FABRIC_ENTRY);
	s->ops = entry ? entry() : NULL;
	if (!s->ops || s->ops->abi_version != FABRIC_ABI_VERSION) {
		error_setg(errp,
			   "vboard fabric: %s is no design library of this QEMU (interface %d)",
			   s->library, FABRIC_ABI_VERSION);
		return;
	}
	s->f = s->ops->create(s->clock_hz, s->folder);
	if (!s->f) {
		error_setg(errp, "vboard fabric: a clock of %" PRIu64 " Hz", s->clock_hz);
		return;
	}
	memory_region_init_io(&s->mmio, OBJECT(s), &fabric_ops, s, "fabric", vboard_fabric_span(s));
	sysbus_init_mmio(SYS_BUS_DEVICE(dev), &s->mmio);
	sysbus_init_irq(SYS_BUS_DEVICE(dev), &s->irq);
	s->timer = timer_new_ns(QEMU_CLOCK_VIRTUAL, fabric_timer, s);
	s->deadline = UINT64_MAX;
	if (s->trace && *s->trace)
		s->runs = qemu_add_vm_change_state_handler(fabric_runs, s);
}

static void fabric_reset(DeviceState *dev)
{
	vboard_fabric_restart(VBOARD_FABRIC(dev));
}

static int fabric_pre_save(void *opaque)
{
	VBoardFabric *s = opaque;
	const void *state;
	size_t size;

	s->ops->sync(s->f, fabric_now());
	state = s->ops->save(s->f, &size);
	g_free(s->state);
	s->state = g_memdup2(state, size);
	s->state_size = size;
	return 0;
}

static int fabric_post_save(void *opaque)
{
	VBoardFabric *s = opaque;

	g_clear_pointer(&s->state, g_free);
	return 0;
}

static int fabric_post_load(void *opaque, int version_id)
{
	VBoardFabric *s = opaque;
	bool ok = s->ops->restore(s->f, s->state, s->state_size);

	g_clear_pointer(&s->state, g_free);
	if (!ok) {
		error_report(
			"vboard fabric: the saved state is not of the design in %s at this clock",
			s->library);
		return -EINVAL;
	}
	s->deadline = UINT64_MAX;
	/* A design saved halted was told of when it halted. */
	s->halt_told = s->ops->halted(s->f) != NULL;
	fabric_update(s);
	return 0;
}

static const VMStateDescription vmstate_fabric = {
	.name = "vboard-fabric",
	.version_id = 1,
	.minimum_version_id = 1,
	.pre_save = fabric_pre_save,
	.post_save = fabric_post_save,
	.post_load = fabric_post_load,
	.fields =
		(VMStateField[]){
			VMSTATE_UINT32(state_size, VBoardFabric),
			VMSTATE_VBUFFER_ALLOC_UINT32(state, VBoardFabric, 0, NULL, state_size),
			VMSTATE_END_OF_LIST(),
		},
};

static Property fabric_properties[] = {
	DEFINE_PROP_STRING("library", VBoardFabric, library),
	DEFINE_PROP_STRING("folder", VBoardFabric, folder),
	DEFINE_PROP_STRING("trace", VBoardFabric, trace),
	DEFINE_PROP_UINT64("trace-from", VBoardFabric, trace_from_ns, 0),
	DEFINE_PROP_UINT64("trace-for", VBoardFabric, trace_for_ns, 0),
	DEFINE_PROP_UINT64("clock-hz", VBoardFabric, clock_hz, 50000000),
	DEFINE_PROP_END_OF_LIST(),
};

static void fabric_finalize(Object *obj)
{
	VBoardFabric *s = VBOARD_FABRIC(obj);

	if (s->runs)
		qemu_del_vm_change_state_handler(s->runs);
	if (s->timer)
		timer_free(s->timer);
	if (s->f)
		s->ops->destroy(s->f);
	g_free(s->state);
	/* The library stays loaded: Verilator's runtime registers exit
	 * handlers. */
}

static void fabric_class_init(ObjectClass *oc, void *data)
{
	DeviceClass *dc = DEVICE_CLASS(oc);

	dc->realize = fabric_realize;
	dc->reset = fabric_reset;
	dc->vmsd = &vmstate_fabric;
	dc->desc = "FPGA fabric: a Verilated design on an AXI4-Lite port";
	/* Made by the board's machine only, at the address it checked. */
	dc->user_creatable = false;
	device_class_set_props(dc, fabric_properties);
}

static const TypeInfo fabric_info = {
	.name = TYPE_VBOARD_FABRIC,
	.parent = TYPE_SYS_BUS_DEVICE,
	.instance_size = sizeof(VBoardFabric),
	.instance_finalize = fabric_finalize,
	.class_init = fabric_class_init,
};

static void fabric_register_types(void)
{
	type_register_static(&fabric_info);
}
type_init(fabric_register_types);
