// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The virtual board: QEMU's virt machine (processor, interrupt controller,
 * UART, RAM) with the board's devices at the board's physical addresses.
 *
 *   0xFFC04000 +0x100   I2C controller 0, the accelerometer on its bus
 *   0xFFD08000 +0x800   system manager (pin multiplexing)
 *   0xFF200000 +0x5000  pushbutton and switch ports
 *   0x0B000000 +0x1000  control page: the outside world, for the guest
 *
 * The devices are the project's models (board_bridge.h); board time is the
 * virtual clock, brought up to date before every access and at each event
 * the models announce (a byte done, a sample due), when the interrupt
 * lines are brought up to date: I2C controller 0 on SPI 10, the sensor's
 * INT1 pin on SPI 11 (free in virt's map). The device tree describes both
 * devices as a board's would, so Linux's own drivers bind to them. Guest
 * mistakes the models notice go to QEMU's guest-error log (-d
 * guest_errors); the board's state migrates and snapshots with VMState. What a person does
 * to the board is a typed machine property each, for qom-set and qom-get
 * over QMP; the board tools' command lines ("tilt 0 707 707") go through one
 * parser here, from the host's scripts/board (the command property) and the
 * guest's board tool (the control page) alike, so both take the same forms.
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qemu/log.h"
#include "migration/vmstate.h"
#include "hw/arm/fdt.h"
#include "hw/irq.h"
#include "sysemu/device_tree.h"
#include "sysemu/runstate.h"
#include "qapi/qapi-builtin-visit.h"
#include "qapi/visitor.h"
#include "qemu/cutils.h"
#include "qemu/error-report.h"
#include "qemu/timer.h"
#include "qemu/units.h"
#include "exec/address-spaces.h"
#include "hw/arm/virt.h"
#include "hw/boards.h"
#include "sysemu/reset.h"

#include "board_bridge.h"

#define TYPE_VBOARD_MACHINE MACHINE_TYPE_NAME("vboard")
OBJECT_DECLARE_TYPE(VBoardMachineState, VBoardMachineClass, VBOARD_MACHINE)

/*
 * Control page. Free in virt's map: after the virtio-mmio transports
 * (0x0A000000 + 32 * 0x200), before the platform bus (0x0C000000).
 */
#define VBOARD_CONTROL_BASE 0x0B000000
#define VBOARD_CONTROL_SIZE 0x1000

enum {
	CTL_ID = 0x00,	     /* reads CTL_ID_VALUE */
	CTL_COMMAND = 0x04,  /* write N: run the first N bytes of CTL_LINE */
	CTL_STATUS = 0x08,   /* CTL_STATUS_OK, or CTL_STATUS_REFUSED */
	CTL_SENSOR = 0x100,  /* sensor register n at CTL_SENSOR + 4 n */
	CTL_LINE = 0x200,    /* a board tool command line, 4 bytes a word */
	CTL_MESSAGE = 0x300, /* why the last one was refused, NUL-terminated */
};
#define CTL_ID_VALUE 0x76626432 /* "vbd2" */
#define CTL_TEXT_SIZE 0x100

/* Interrupt lines (GIC SPIs) and the bus speed the device tree asks for. */
#define VBOARD_I2C0_SPI 10
#define VBOARD_SENSOR_INT1_SPI 11
#define VBOARD_I2C0_BUS_HZ 400000
#define VBOARD_SENSOR_ADDRESS 0x53
#define CTL_STATUS_OK 0
#define CTL_STATUS_REFUSED 1
#define CMD_ARGS 3

/* What a person does to the board; the arguments are 32-bit words. */
enum vboard_command {
	CMD_TILT = 1,	  /* X, Y, Z milli-g, signed */
	CMD_BIAS = 2,	  /* X, Y, Z milli-g, signed */
	CMD_NOISE = 3,	  /* amplitude, milli-g */
	CMD_TAP = 4,	  /* 0: single, 1: double */
	CMD_PRESS = 5,	  /* button mask */
	CMD_SWITCHES = 6, /* switch positions */
	CMD_SENSOR = 7,	  /* 0: off the bus, 1: on */
	CMD_DEVID = 8,	  /* the sensor's DEVID register */
	CMD_RESET = 9,	  /* 0: sensor power cycle, 1: the whole board */
	CMD_HOLD = 10,	  /* button mask held down from now on */
};

typedef struct VBoardWindow {
	VBoardMachineState *machine;
	enum bm_window_id id;
	MemoryRegion mr;
} VBoardWindow;

struct VBoardMachineState {
	VirtMachineState parent_obj;
	struct bm_board *board;
	uint32_t board_size;
	QEMUTimer *event_timer;
	qemu_irq i2c0_irq, sensor_int1;
	VBoardWindow window[BM_WINDOWS];
	MemoryRegion control;
	uint8_t line[CTL_TEXT_SIZE];
	uint8_t message[CTL_TEXT_SIZE];
	uint32_t status;
};

struct VBoardMachineClass {
	VirtMachineClass parent_class;
	void (*parent_init)(MachineState *ms);
};

static void vboard_sync(VBoardMachineState *s)
{
	bm_sync(s->board, qemu_clock_get_ns(QEMU_CLOCK_VIRTUAL));
}

/* Interrupt lines as the board stands now, and a wake-up at its next event. */
static void vboard_update(VBoardMachineState *s)
{
	uint64_t next;

	if (!s->event_timer)
		return;
	vboard_sync(s);
	qemu_set_irq(s->i2c0_irq, bm_i2c0_irq(s->board));
	qemu_set_irq(s->sensor_int1, bm_sensor_int1(s->board));
	next = bm_next_event_ns(s->board);
	if (next == UINT64_MAX || next > INT64_MAX)
		timer_del(s->event_timer);
	else
		timer_mod(s->event_timer, next);
}

static void vboard_event(void *opaque)
{
	vboard_update(opaque);
}

static void vboard_guest_error(const char *device, const char *what, uint32_t offset,
			       uint32_t value)
{
	qemu_log_mask(LOG_GUEST_ERROR, "vboard %s: %s (offset/register 0x%x, value 0x%x)\n", device,
		      what, offset, value);
}

/* Runs a command at the board's current time; false when refused. */
static bool vboard_run_command(VBoardMachineState *s, enum vboard_command cmd, const int64_t *arg)
{
	int32_t mg[3] = {arg[0], arg[1], arg[2]};

	vboard_sync(s);
	switch (cmd) {
	case CMD_TILT:
		return bm_set_tilt(s->board, mg);
	case CMD_BIAS:
		return bm_set_bias(s->board, mg);
	case CMD_NOISE:
		return bm_set_noise(s->board, arg[0]);
	case CMD_TAP:
		bm_tap(s->board, arg[0]);
		return true;
	case CMD_PRESS:
		return bm_press(s->board, arg[0]);
	case CMD_HOLD:
		return bm_hold(s->board, arg[0]);
	case CMD_SWITCHES:
		return bm_set_switches(s->board, arg[0]);
	case CMD_SENSOR:
		bm_set_sensor_connected(s->board, arg[0]);
		return true;
	case CMD_DEVID:
		return bm_set_devid(s->board, arg[0]);
	case CMD_RESET:
		/* What a person can reset: the sensor's supply, or the whole
		 * board, whose processor then boots again. */
		if (arg[0] == 0)
			bm_sensor_power_cycle(s->board);
		else
			qemu_system_reset_request(SHUTDOWN_CAUSE_GUEST_RESET);
		return true;
	}
	return false;
}

static bool vboard_command(VBoardMachineState *s, enum vboard_command cmd, const int64_t *arg)
{
	bool done = vboard_run_command(s, cmd, arg);

	vboard_update(s);
	return done;
}

/* --- the board's windows ------------------------------------------------ */

static MemTxResult vboard_window_read(void *opaque, hwaddr offset, uint64_t *data, unsigned size,
				      MemTxAttrs attrs)
{
	VBoardWindow *w = opaque;
	uint32_t value;
	bool ok;

	vboard_sync(w->machine);
	ok = bm_read(w->machine->board, w->id, offset, size, &value);
	*data = value;
	vboard_update(w->machine);
	return ok ? MEMTX_OK : MEMTX_ERROR;
}

/*
 * Every access, store or load, brings the board clock up to date first. The
 * processor may pause between the stores of one access (translating code,
 * taking an interrupt); a controller that holds the bus when its queue runs
 * dry, as the board's does by default, then simply waits for the next word.
 */
static MemTxResult vboard_window_write(void *opaque, hwaddr offset, uint64_t value, unsigned size,
				       MemTxAttrs attrs)
{
	VBoardWindow *w = opaque;
	bool ok;

	vboard_sync(w->machine);
	ok = bm_write(w->machine->board, w->id, offset, size, value);
	vboard_update(w->machine);
	return ok ? MEMTX_OK : MEMTX_ERROR;
}

/*
 * Registers are 32 bits wide. An unaligned access takes the processor's
 * alignment fault before it reaches the board (valid.unaligned false, with
 * the project's patch to QEMU's softmmu, vboard/qemu-patches/), as an
 * unaligned access to Device memory does on the board. A narrow access is
 * widened or refused as the board was built (the narrow-access property); a
 * refused access is a bus error, which the processor takes as an external
 * abort.
 */
static const MemoryRegionOps vboard_window_ops = {
	.read_with_attrs = vboard_window_read,
	.write_with_attrs = vboard_window_write,
	.endianness = DEVICE_LITTLE_ENDIAN,
	.valid = {.min_access_size = 1, .max_access_size = 4, .unaligned = false},
	.impl = {.min_access_size = 1, .max_access_size = 4, .unaligned = false},
};

/* --- what a person does to the board ------------------------------------ */

/* How an input's values are written on a board tool's command line. */
enum vboard_form {
	FORM_DEC, /* decimal, optionally negative */
	FORM_HEX, /* hexadecimal digits, no prefix */
	FORM_WORD /* one of words[], its index the value */
};

/*
 * One machine property per input, named as the board tool's command. A
 * number input is an integer property (tilt and bias: a list of three)
 * whose values must lie in [min, max]; a word input is a string property.
 */
typedef struct VBoardInput {
	const char *name;
	enum vboard_command cmd;
	enum vboard_form form;
	unsigned count;
	int64_t min, max;
	const char *words[2];
	const char *help;
	void (*show)(VBoardMachineState *s, int64_t *v); /* NULL: write-only */
} VBoardInput;

static void show_tilt(VBoardMachineState *s, int64_t *v)
{
	int32_t mg[3];

	bm_tilt(s->board, mg);
	v[0] = mg[0], v[1] = mg[1], v[2] = mg[2];
}

static void show_bias(VBoardMachineState *s, int64_t *v)
{
	int32_t mg[3];

	bm_bias(s->board, mg);
	v[0] = mg[0], v[1] = mg[1], v[2] = mg[2];
}

static void show_noise(VBoardMachineState *s, int64_t *v)
{
	*v = bm_noise(s->board);
}

static void show_hold(VBoardMachineState *s, int64_t *v)
{
	*v = bm_held(s->board);
}

static void show_switches(VBoardMachineState *s, int64_t *v)
{
	*v = bm_switches(s->board);
}

static void show_sensor(VBoardMachineState *s, int64_t *v)
{
	*v = bm_sensor_connected(s->board);
}

static void show_devid(VBoardMachineState *s, int64_t *v)
{
	*v = bm_peek_sensor(s->board, bm_shown_registers[0].address);
}

#define MG_HELP "milli-g, each within +-16000"

/* One row an input: clang-format would put each field on a line of its own. */
/* clang-format off */
static const VBoardInput vboard_inputs[] = {
	{ "tilt", CMD_TILT, FORM_DEC, 3, -BM_MAX_MG, BM_MAX_MG, {},
	  "X Y Z, acceleration per axis in " MG_HELP, show_tilt },
	{ "bias", CMD_BIAS, FORM_DEC, 3, -BM_MAX_MG, BM_MAX_MG, {},
	  "X Y Z, sensor error per axis in " MG_HELP, show_bias },
	{ "noise", CMD_NOISE, FORM_DEC, 1, 0, BM_MAX_MG, {},
	  "a noise amplitude in milli-g, 0 to 16000", show_noise },
	{ "tap", CMD_TAP, FORM_WORD, 1, 0, 1, { "single", "double" }, "single or double", NULL },
	{ "press", CMD_PRESS, FORM_HEX, 1, 0, BM_KEY_MASK, {},
	  "a hexadecimal mask of pushbuttons 0 to 3", NULL },
	{ "hold", CMD_HOLD, FORM_HEX, 1, 0, BM_KEY_MASK, {},
	  "a hexadecimal mask of the pushbuttons held down (0: none)", show_hold },
	{ "switches", CMD_SWITCHES, FORM_HEX, 1, 0, BM_SWITCH_MASK, {},
	  "hexadecimal positions of 12 switches", show_switches },
	{ "sensor", CMD_SENSOR, FORM_WORD, 1, 0, 1, { "off", "on" },
	  "off or on (wired to the bus)", show_sensor },
	{ "devid", CMD_DEVID, FORM_HEX, 1, 0, 0xFF, {}, "the sensor's DEVID, a hexadecimal byte",
	  show_devid },
	{ "reset", CMD_RESET, FORM_WORD, 1, 0, 1, { "sensor", "board" },
	  "sensor (its supply off and on) or board (the whole board, the guest reboots)", NULL },
};
/* clang-format on */

static const VBoardInput *vboard_input(const char *name)
{
	unsigned i;

	for (i = 0; i < ARRAY_SIZE(vboard_inputs); i++)
		if (!strcmp(vboard_inputs[i].name, name))
			return &vboard_inputs[i];
	return NULL;
}

/* Runs an input with its values, refusing those out of its range. */
static bool vboard_input_apply(VBoardMachineState *s, const VBoardInput *in, const int64_t *v,
			       Error **errp)
{
	unsigned i;

	for (i = 0; i < in->count; i++) {
		if (v[i] < in->min || v[i] > in->max) {
			error_setg(errp, "%s: %" PRId64 " is out of range (%s)", in->name, v[i],
				   in->help);
			return false;
		}
	}
	if (!vboard_command(s, in->cmd, v)) {
		error_setg(errp, "%s: refused (%s)", in->name, in->help);
		return false;
	}
	return true;
}

static int vboard_word_index(const VBoardInput *in, const char *word)
{
	unsigned i;

	for (i = 0; i < ARRAY_SIZE(in->words) && in->words[i]; i++)
		if (!strcmp(word, in->words[i]))
			return i;
	return -1;
}

static void vboard_input_set(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	const VBoardInput *in = opaque;
	int64_t val[CMD_ARGS] = {0};

	if (in->form == FORM_WORD) {
		g_autofree char *text = NULL;

		if (!visit_type_str(v, name, &text, errp))
			return;
		val[0] = vboard_word_index(in, text);
		if (val[0] < 0) {
			error_setg(errp, "%s: '%s' is not %s", name, text, in->help);
			return;
		}
	} else if (in->count == 1) {
		if (!visit_type_int(v, name, &val[0], errp))
			return;
	} else {
		intList *list = NULL, *l;
		unsigned n = 0;

		if (!visit_type_intList(v, name, &list, errp))
			return;
		for (l = list; l; l = l->next, n++)
			if (n < in->count)
				val[n] = l->value;
		qapi_free_intList(list);
		if (n != in->count) {
			error_setg(errp, "%s: %u numbers expected (%s)", name, in->count, in->help);
			return;
		}
	}
	vboard_input_apply(VBOARD_MACHINE(obj), in, val, errp);
}

static void vboard_input_get(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	const VBoardInput *in = opaque;
	int64_t val[CMD_ARGS] = {0};
	intList *list = NULL;
	int i;

	in->show(VBOARD_MACHINE(obj), val);
	if (in->form == FORM_WORD) {
		char *word = (char *)in->words[val[0]];

		visit_type_str(v, name, &word, errp);
	} else if (in->count == 1) {
		visit_type_int(v, name, &val[0], errp);
	} else {
		for (i = in->count - 1; i >= 0; i--)
			QAPI_LIST_PREPEND(list, val[i]);
		visit_type_intList(v, name, &list, errp);
		qapi_free_intList(list);
	}
}

/* One word of a command line as a value of the input's form. */
static bool vboard_parse_word(const VBoardInput *in, const char *word, int64_t *value)
{
	const char *digits = word + (in->form == FORM_DEC && *word == '-');
	size_t len = strlen(digits), i;

	if (in->form == FORM_WORD)
		return (*value = vboard_word_index(in, word)) >= 0;
	/* Up to 9 decimal or 8 hexadecimal digits: no overflow, no sign or
	 * prefix of another base. */
	if (!len || len > (in->form == FORM_DEC ? 9 : 8))
		return false;
	for (i = 0; i < len; i++)
		if (in->form == FORM_DEC ? !g_ascii_isdigit(digits[i])
					 : !g_ascii_isxdigit(digits[i]))
			return false;
	*value = g_ascii_strtoll(word, NULL, in->form == FORM_DEC ? 10 : 16);
	return true;
}

/*
 * A board tool command line, as both tools send it: the command and its
 * words separated by single spaces ("tilt 0 707 707", "tap", "doubletap").
 * regs and help are the tools' own.
 */
static bool vboard_command_line(VBoardMachineState *s, const char *line, Error **errp)
{
	g_auto(GStrv) words = g_strsplit(line, " ", -1);
	unsigned n = g_strv_length(words), i;
	int64_t val[CMD_ARGS] = {0};
	const VBoardInput *in;
	const char *name = n ? words[0] : "";

	if (strlen(line) >= CTL_TEXT_SIZE) {
		error_setg(errp, "a command line of at most %d characters", CTL_TEXT_SIZE - 1);
		return false;
	}
	if (!strcmp(name, "tap") || !strcmp(name, "doubletap")) {
		if (n != 1) {
			error_setg(errp, "%s: takes no words", name);
			return false;
		}
		val[0] = !strcmp(name, "doubletap");
		return vboard_input_apply(s, vboard_input("tap"), val, errp);
	}
	in = vboard_input(name);
	if (!in || !strcmp(name, "tap")) {
		error_setg(errp, "'%s': no such command (see board help)", name);
		return false;
	}
	if (n - 1 != in->count) {
		error_setg(errp, "%s: takes %u word%s: %s", name, in->count,
			   in->count > 1 ? "s" : "", in->help);
		return false;
	}
	for (i = 0; i < in->count; i++) {
		if (!vboard_parse_word(in, words[i + 1], &val[i])) {
			error_setg(errp, "%s: '%s' is not %s", name, words[i + 1], in->help);
			return false;
		}
	}
	return vboard_input_apply(s, in, val, errp);
}

static void vboard_set_command(Object *obj, const char *value, Error **errp)
{
	vboard_command_line(VBOARD_MACHINE(obj), value, errp);
}

/* --- control page: the guest's board tool ------------------------------- */

static uint64_t vboard_control_read(void *opaque, hwaddr offset, unsigned size)
{
	VBoardMachineState *s = opaque;

	if (offset >= CTL_SENSOR && offset < CTL_SENSOR + 4 * BM_SENSOR_REGISTERS) {
		vboard_sync(s);
		return bm_peek_sensor(s->board, (offset - CTL_SENSOR) / 4);
	}
	if (offset >= CTL_MESSAGE && offset < CTL_MESSAGE + CTL_TEXT_SIZE)
		return ldl_le_p(s->message + offset - CTL_MESSAGE);
	switch (offset) {
	case CTL_ID:
		return CTL_ID_VALUE;
	case CTL_STATUS:
		return s->status;
	default:
		return 0;
	}
}

static void vboard_control_line(VBoardMachineState *s, uint64_t length)
{
	g_autofree char *line = g_strndup((const char *)s->line, MIN(length, CTL_TEXT_SIZE));
	Error *err = NULL;

	if (length >= CTL_TEXT_SIZE)
		error_setg(&err, "a command line of at most %d characters", CTL_TEXT_SIZE - 1);
	else if (strlen(line) != length)
		error_setg(&err, "a command line without NUL characters");
	else
		vboard_command_line(s, line, &err);
	s->status = err ? CTL_STATUS_REFUSED : CTL_STATUS_OK;
	pstrcpy((char *)s->message, sizeof(s->message), err ? error_get_pretty(err) : "");
	error_free(err);
}

static void vboard_control_write(void *opaque, hwaddr offset, uint64_t value, unsigned size)
{
	VBoardMachineState *s = opaque;

	if (offset >= CTL_LINE && offset < CTL_LINE + CTL_TEXT_SIZE)
		stl_le_p(s->line + offset - CTL_LINE, value);
	else if (offset == CTL_COMMAND)
		vboard_control_line(s, value);
}

static const MemoryRegionOps vboard_control_ops = {
	.read = vboard_control_read,
	.write = vboard_control_write,
	.endianness = DEVICE_LITTLE_ENDIAN,
	.valid = {.min_access_size = 4, .max_access_size = 4},
};

/*
 * How the board was built: whether I2C controller 0 sends a stop when its
 * transmit queue runs empty ("stop") or holds the bus until the next word
 * ("hold", the default). Set it on the command line
 * (-M vboard,i2c-queue-end=stop); with real time as the board clock a pause
 * of the emulation between the stores of one access can then split it, so
 * pair it with -icount.
 */
static char *vboard_get_queue_end(Object *obj, Error **errp)
{
	return g_strdup(bm_queue_end_stop(VBOARD_MACHINE(obj)->board) ? "stop" : "hold");
}

static void vboard_set_queue_end(Object *obj, const char *value, Error **errp)
{
	if (strcmp(value, "hold") && strcmp(value, "stop")) {
		error_setg(errp, "i2c-queue-end: '%s' is not hold or stop", value);
		return;
	}
	bm_set_queue_end(VBOARD_MACHINE(obj)->board, !strcmp(value, "stop"));
}

/*
 * How the board answers 8- and 16-bit accesses to its windows: "widen" (the
 * bridge turns them into 32-bit ones, the default) or "error" (a bus
 * error). The register descriptions do not say; the drivers must work on
 * both.
 */
static char *vboard_get_narrow(Object *obj, Error **errp)
{
	return g_strdup(bm_narrow_error(VBOARD_MACHINE(obj)->board) ? "error" : "widen");
}

static void vboard_set_narrow(Object *obj, const char *value, Error **errp)
{
	if (strcmp(value, "widen") && strcmp(value, "error")) {
		error_setg(errp, "narrow-access: '%s' is not widen or error", value);
		return;
	}
	bm_set_narrow_error(VBOARD_MACHINE(obj)->board, !strcmp(value, "error"));
}

/* The sensor registers the board tool shows, one "NAME 0xHH" line each. */
static char *vboard_get_regs(Object *obj, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);
	GString *text = g_string_new(NULL);
	unsigned i;

	vboard_sync(s);
	for (i = 0; i < bm_shown_register_count; i++) {
		const struct bm_register *r = &bm_shown_registers[i];

		g_string_append_printf(text, "%s 0x%02X\n", r->name,
				       bm_peek_sensor(s->board, r->address));
	}
	return g_string_free(text, false);
}

/* --- machine ------------------------------------------------------------ */

static void vboard_reset(void *opaque)
{
	VBoardMachineState *s = opaque;

	bm_reset(s->board);
	memset(s->line, 0, sizeof(s->line));
	memset(s->message, 0, sizeof(s->message));
	s->status = CTL_STATUS_OK;
	vboard_update(s);
}

static int vboard_post_load(void *opaque, int version_id)
{
	vboard_update(opaque);
	return 0;
}

/*
 * The models' state is one plain structure without pointers (board.h), so
 * it travels as one buffer; a build whose structure differs in size is
 * refused rather than misread.
 */
static const VMStateDescription vmstate_vboard = {
	.name = "vboard",
	.version_id = 2,
	.minimum_version_id = 2,
	.post_load = vboard_post_load,
	.fields =
		(VMStateField[]){
			VMSTATE_UINT32_EQUAL(board_size, VBoardMachineState, NULL),
			VMSTATE_VBUFFER_UINT32(board, VBoardMachineState, 1, NULL, board_size),
			VMSTATE_UINT8_ARRAY(line, VBoardMachineState, CTL_TEXT_SIZE),
			VMSTATE_BUFFER(message, VBoardMachineState),
			VMSTATE_UINT32(status, VBoardMachineState), VMSTATE_END_OF_LIST()},
};

/* The controller with its input clock and interrupt, the sensor on its bus. */
static void vboard_fdt(VBoardMachineState *s)
{
	VirtMachineState *vms = VIRT_MACHINE(s);
	void *fdt = MACHINE(s)->fdt;
	const struct bm_window *win = &bm_windows[BM_I2C0];
	uint32_t clk = qemu_fdt_alloc_phandle(fdt);
	g_autofree char *bus = g_strdup_printf("/i2c@%x", win->base);
	g_autofree char *sensor =
		g_strdup_printf("%s/accelerometer@%x", bus, VBOARD_SENSOR_ADDRESS);

	qemu_fdt_add_subnode(fdt, "/i2c0-clk");
	qemu_fdt_setprop_string(fdt, "/i2c0-clk", "compatible", "fixed-clock");
	qemu_fdt_setprop_cell(fdt, "/i2c0-clk", "#clock-cells", 0);
	qemu_fdt_setprop_cell(fdt, "/i2c0-clk", "clock-frequency", bm_i2c0_clock_hz());
	qemu_fdt_setprop_string(fdt, "/i2c0-clk", "clock-output-names", "i2c0_clk");
	qemu_fdt_setprop_cell(fdt, "/i2c0-clk", "phandle", clk);

	qemu_fdt_add_subnode(fdt, bus);
	qemu_fdt_setprop_string(fdt, bus, "compatible", "snps,designware-i2c");
	qemu_fdt_setprop_sized_cells(fdt, bus, "reg", 2, win->base, 2, win->span);
	qemu_fdt_setprop_cell(fdt, bus, "interrupt-parent", vms->gic_phandle);
	qemu_fdt_setprop_cells(fdt, bus, "interrupts", GIC_FDT_IRQ_TYPE_SPI, VBOARD_I2C0_SPI,
			       GIC_FDT_IRQ_FLAGS_LEVEL_HI);
	qemu_fdt_setprop_cell(fdt, bus, "clocks", clk);
	qemu_fdt_setprop_cell(fdt, bus, "clock-frequency", VBOARD_I2C0_BUS_HZ);
	qemu_fdt_setprop_cell(fdt, bus, "#address-cells", 1);
	qemu_fdt_setprop_cell(fdt, bus, "#size-cells", 0);

	qemu_fdt_add_subnode(fdt, sensor);
	qemu_fdt_setprop_string(fdt, sensor, "compatible", "adi,adxl345");
	qemu_fdt_setprop_cell(fdt, sensor, "reg", VBOARD_SENSOR_ADDRESS);
	qemu_fdt_setprop_cell(fdt, sensor, "interrupt-parent", vms->gic_phandle);
	qemu_fdt_setprop_cells(fdt, sensor, "interrupts", GIC_FDT_IRQ_TYPE_SPI,
			       VBOARD_SENSOR_INT1_SPI, GIC_FDT_IRQ_FLAGS_LEVEL_HI);
}

/* RAM, from virt's base up, must end below the lowest window. */
static void vboard_check_ram(VBoardMachineState *s, MachineState *ms)
{
	hwaddr ram_base = VIRT_MACHINE(s)->memmap[VIRT_MEM].base;
	hwaddr lowest = UINT32_MAX;
	unsigned i;

	for (i = 0; i < BM_WINDOWS; i++)
		lowest = MIN(lowest, bm_windows[i].base);
	if (ms->maxram_size > ms->ram_size) {
		error_report("vboard: the board has no memory hotplug (maxmem, slots)");
		exit(1);
	}
	if (ram_base + ms->ram_size > lowest) {
		error_report("vboard: %" PRIu64 " MiB of RAM would reach the board's windows"
			     " at 0x%" HWADDR_PRIx "; at most %" PRIu64 " MiB",
			     (uint64_t)(ms->ram_size / MiB), lowest,
			     (uint64_t)((lowest - ram_base) / MiB));
		exit(1);
	}
}

static void vboard_init(MachineState *ms)
{
	VBoardMachineState *s = VBOARD_MACHINE(ms);
	unsigned i;

	VBOARD_MACHINE_GET_CLASS(s)->parent_init(ms);
	vboard_check_ram(s, ms);

	for (i = 0; i < BM_WINDOWS; i++) {
		VBoardWindow *w = &s->window[i];

		w->machine = s;
		w->id = i;
		memory_region_init_io(&w->mr, OBJECT(s), &vboard_window_ops, w, bm_windows[i].name,
				      bm_windows[i].span);
		memory_region_add_subregion(get_system_memory(), bm_windows[i].base, &w->mr);
	}
	memory_region_init_io(&s->control, OBJECT(s), &vboard_control_ops, s, "vboard-control",
			      VBOARD_CONTROL_SIZE);
	memory_region_add_subregion(get_system_memory(), VBOARD_CONTROL_BASE, &s->control);

	s->i2c0_irq = qdev_get_gpio_in(VIRT_MACHINE(s)->gic, VBOARD_I2C0_SPI);
	s->sensor_int1 = qdev_get_gpio_in(VIRT_MACHINE(s)->gic, VBOARD_SENSOR_INT1_SPI);
	s->event_timer = timer_new_ns(QEMU_CLOCK_VIRTUAL, vboard_event, s);
	bm_set_guest_error_hook(vboard_guest_error);
	vboard_fdt(s);
	vmstate_register(NULL, VMSTATE_INSTANCE_ID_ANY, &vmstate_vboard, s);
	qemu_register_reset(vboard_reset, s);
}

static void vboard_instance_init(Object *obj)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	/* A 32-bit board: nothing above 4 GiB. */
	VIRT_MACHINE(obj)->highmem = false;
	s->board_size = bm_board_size();
	s->board = g_malloc0(s->board_size);
	bm_reset(s->board);
}

static void vboard_instance_finalize(Object *obj)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	if (s->event_timer)
		timer_free(s->event_timer);
	g_free(s->board);
}

static void vboard_class_init(ObjectClass *oc, void *data)
{
	MachineClass *mc = MACHINE_CLASS(oc);
	VBoardMachineClass *vbc = VBOARD_MACHINE_CLASS(oc);
	unsigned i;

	vbc->parent_init = mc->init;
	mc->init = vboard_init;
	mc->desc = "Virtual board: virt with the board's devices at their addresses";

	for (i = 0; i < ARRAY_SIZE(vboard_inputs); i++) {
		const VBoardInput *in = &vboard_inputs[i];

		const char *type = in->form == FORM_WORD ? "str"
				   : in->count > 1	 ? "intList"
							 : "int";

		object_class_property_add(oc, in->name, type, in->show ? vboard_input_get : NULL,
					  vboard_input_set, NULL, (void *)in);
		object_class_property_set_description(oc, in->name, in->help);
	}
	object_class_property_add_str(oc, "i2c-queue-end", vboard_get_queue_end,
				      vboard_set_queue_end);
	object_class_property_set_description(
		oc, "i2c-queue-end", "I2C controller 0 at the end of its queue: hold or stop");
	object_class_property_add_str(oc, "narrow-access", vboard_get_narrow, vboard_set_narrow);
	object_class_property_set_description(oc, "narrow-access",
					      "8- and 16-bit accesses to the board's windows: "
					      "widen or error");
	object_class_property_add_str(oc, "command", NULL, vboard_set_command);
	object_class_property_set_description(oc, "command",
					      "a board tool command line, e.g. 'tilt 0 707 707'");
	object_class_property_add_str(oc, "regs", vboard_get_regs, NULL);
	object_class_property_set_description(oc, "regs",
					      "sensor registers, one 'NAME 0xHH' line each");
}

static const TypeInfo vboard_machine_info = {
	.name = TYPE_VBOARD_MACHINE,
	.parent = TYPE_VIRT_MACHINE,
	.instance_size = sizeof(VBoardMachineState),
	.instance_init = vboard_instance_init,
	.instance_finalize = vboard_instance_finalize,
	.class_size = sizeof(VBoardMachineClass),
	.class_init = vboard_class_init,
};

static void vboard_register_types(void)
{
	type_register_static(&vboard_machine_info);
}
type_init(vboard_register_types);
