// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * What a person does to the board, as typed machine properties (qom-set and
 * qom-get over QMP) and as the board tools' command lines, through one
 * parser: the host's scripts/board sets the command property, the guest's
 * board tool writes the control page; and the properties that say how the
 * board was built.
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "sysemu/runstate.h"
#include "qapi/qapi-builtin-visit.h"
#include "qapi/visitor.h"
#include "qemu/cutils.h"

#include "vboard.h"

/* Runs a command at the board's current time; false when refused. */
static bool vboard_run_command(VBoardMachineState *s, enum vboard_command cmd, const int64_t *arg)
{
	int32_t mg[3] = {arg[0], arg[1], arg[2]};

	vboard_sync(s);
	switch (cmd) {
	case CMD_TILT:
		/* The hand that tilts the board takes it from the recording
		 * (a tilt out of range is refused before it gets here). */
		vboard_play_stop(s);
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

/* The fabric's designs follow the pushbuttons and switches. */
static void vboard_fabric_follow(VBoardMachineState *s, VBoardFabric *f, enum vboard_command cmd,
				 const int64_t *arg)
{
	if (!f)
		return;
	if (cmd == CMD_PRESS)
		vboard_fabric_press(f, arg[0]);
	else if (cmd == CMD_HOLD || cmd == CMD_SWITCHES)
		vboard_fabric_set_inputs(f, bm_held(s->board), bm_switches(s->board));
}

static bool vboard_command(VBoardMachineState *s, enum vboard_command cmd, const int64_t *arg)
{
	bool done = vboard_run_command(s, cmd, arg);

	if (done) {
		vboard_fabric_follow(s, s->fabric_ports, cmd, arg);
		vboard_fabric_follow(s, s->fabric, cmd, arg);
	}
	vboard_update(s);
	return done;
}

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
	  "hexadecimal positions of the switches, 12 bits, SW0 in bit 0", show_switches },
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

/* "fabric reset": the design in the fabric started again from reset, also
 * after it halted. A command line only: the machine's fabric property is
 * the design's library. */
static bool vboard_fabric_command(VBoardMachineState *s, unsigned n, const char *const *words,
				  Error **errp)
{
	if (n != 1 || strcmp(words[0], "reset")) {
		error_setg(errp, "fabric: takes 1 word: reset (the design, from reset)");
		return false;
	}
	if (!s->fabric) {
		error_setg(errp, "fabric: no design in the fabric (vboard/run --fabric FILE.v)");
		return false;
	}
	vboard_fabric_restart(s->fabric);
	return true;
}

/*
 * A board tool command line, as both tools send it: the command and its
 * words separated by single spaces ("tilt 0 707 707", "tap", "doubletap").
 * regs and help are the tools' own.
 */
bool vboard_command_line(VBoardMachineState *s, const char *line, Error **errp)
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
	if (!strcmp(name, "fabric"))
		return vboard_fabric_command(s, n - 1, (const char *const *)words + 1, errp);
	if (!strcmp(name, "play")) {
		error_setg(errp,
			   "play: recordings play from the host, where the machine reads them "
			   "(scripts/board play FILE)");
		return false;
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

/* The sensor registers the board tools show, one "NAME 0xHH" line each. */
char *vboard_regs_text(VBoardMachineState *s)
{
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

static char *vboard_get_regs(Object *obj, Error **errp)
{
	return vboard_regs_text(VBOARD_MACHINE(obj));
}

/* --- the fabric ---------------------------------------------------------- */

/* The board's LEDs and digits as the design drives them; all dark without
 * one. */
static void vboard_fabric_shown(VBoardMachineState *s, struct fabric_outputs *out)
{
	if (s->fabric) {
		vboard_fabric_outputs(s->fabric, out);
		return;
	}
	memset(out, 0, sizeof(*out));
	memset(out->hex, 0x7F, sizeof(out->hex));
}

static void vboard_get_ledr(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	struct fabric_outputs out;
	int64_t ledr;

	vboard_fabric_shown(VBOARD_MACHINE(obj), &out);
	ledr = out.ledr;
	visit_type_int(v, name, &ledr, errp);
}

static void vboard_get_hex(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	struct fabric_outputs out;
	intList *list = NULL;
	int i;

	vboard_fabric_shown(VBOARD_MACHINE(obj), &out);
	for (i = FABRIC_HEX_DIGITS - 1; i >= 0; i--)
		QAPI_LIST_PREPEND(list, out.hex[i]);
	visit_type_intList(v, name, &list, errp);
	qapi_free_intList(list);
}

/* fabric, fabric-folder and fabric-ports: the machine's path the opaque
 * points to, NULL for "". */
static void vboard_get_path(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	char **field = (void *)((char *)obj + (uintptr_t)opaque);
	char *value = *field ?: (char *)"";

	visit_type_str(v, name, &value, errp);
}

static void vboard_set_path(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	char **field = (void *)((char *)obj + (uintptr_t)opaque);
	char *value;

	if (!visit_type_str(v, name, &value, errp))
		return;
	g_free(*field);
	*field = *value ? value : NULL;
	if (!*field)
		g_free(value);
}

static char *vboard_get_fabric_trace(Object *obj, Error **errp)
{
	return g_strdup(VBOARD_MACHINE(obj)->fabric_trace ?: "");
}

/* Before the machine is made: the trace it starts with. Once it runs: a
 * trace from now into the file ("" ends it), with fabric-trace-from and
 * fabric-trace-for as they are. */
static void vboard_set_fabric_trace(Object *obj, const char *value, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	if (s->fabric) {
		if (!vboard_fabric_trace(s->fabric, *value ? value : NULL, s->fabric_trace_from_ns,
					 s->fabric_trace_for_ns, errp))
			return;
	} else if (phase_check(PHASE_MACHINE_READY)) {
		error_setg(errp,
			   "fabric-trace: no design in the fabric (vboard/run --fabric FILE.v)");
		return;
	}
	g_free(s->fabric_trace);
	s->fabric_trace = *value ? g_strdup(value) : NULL;
}

/* fabric-base and fabric-clock: the machine's numbers the opaque points to. */
static void vboard_get_u64(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	uint64_t *field = (void *)((char *)obj + (uintptr_t)opaque);

	visit_type_uint64(v, name, field, errp);
}

static void vboard_set_u64(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	uint64_t *field = (void *)((char *)obj + (uintptr_t)opaque);
	uint64_t value;

	if (!visit_type_uint64(v, name, &value, errp))
		return;
	if (!value || value > UINT32_MAX) {
		error_setg(errp, "%s: 0x%" PRIx64 " is out of range", name, value);
		return;
	}
	*field = value;
}

/* fabric-trace-from and fabric-trace-for: nanoseconds, 0 the default. */
static void vboard_set_ns(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	uint64_t *field = (void *)((char *)obj + (uintptr_t)opaque);

	visit_type_uint64(v, name, field, errp);
}

/* What a host program needs to know of the board, read-only: the bridge's
 * window (models/lwbridge.h) and the board's slide switches, fewer than the
 * switch register's bits. */
static const uint64_t vboard_bridge_base = BOARD_LWBRIDGE_BASE;
static const uint64_t vboard_bridge_size = BOARD_LWBRIDGE_SIZE;

static void vboard_get_switch_count(Object *obj, Visitor *v, const char *name, void *opaque,
				    Error **errp)
{
	uint32_t count = bm_switch_count();

	visit_type_uint32(v, name, &count, errp);
}

static void vboard_class_add_fabric_properties(ObjectClass *oc)
{
	object_class_property_add_uint64_ptr(oc, "bridge-base", &vboard_bridge_base,
					     OBJ_PROP_FLAG_READ);
	object_class_property_set_description(oc, "bridge-base",
					      "where the lightweight bridge's window starts, "
					      "the board's ports first, the fabric's design in it");
	object_class_property_add_uint64_ptr(oc, "bridge-size", &vboard_bridge_size,
					     OBJ_PROP_FLAG_READ);
	object_class_property_set_description(oc, "bridge-size",
					      "the lightweight bridge's window, in bytes");
	object_class_property_add(oc, "fabric", "str", vboard_get_path, vboard_set_path, NULL,
				  (void *)offsetof(VBoardMachineState, fabric_library));
	object_class_property_set_description(oc, "fabric",
					      "the fabric's design: a library of "
					      "vboard/fabric/build.sh");
	object_class_property_add(oc, "fabric-folder", "str", vboard_get_path, vboard_set_path,
				  NULL, (void *)offsetof(VBoardMachineState, fabric_folder));
	object_class_property_set_description(oc, "fabric-folder",
					      "where the design's relative paths start "
					      "($readmemh): its file's folder");
	object_class_property_add_str(oc, "fabric-trace", vboard_get_fabric_trace,
				      vboard_set_fabric_trace);
	object_class_property_set_description(oc, "fabric-trace",
					      "a trace of the design: its signals into this FST "
					      "file, its transfers and interrupt into FILE.log");
	object_class_property_add(oc, "fabric-trace-from", "uint64", vboard_get_u64, vboard_set_ns,
				  NULL, (void *)offsetof(VBoardMachineState, fabric_trace_from_ns));
	object_class_property_set_description(oc, "fabric-trace-from",
					      "the trace starts this many ns of guest time after "
					      "the machine first runs (or after it is set)");
	object_class_property_add(oc, "fabric-trace-for", "uint64", vboard_get_u64, vboard_set_ns,
				  NULL, (void *)offsetof(VBoardMachineState, fabric_trace_for_ns));
	object_class_property_set_description(
		oc, "fabric-trace-for", "the trace's length in ns of guest time (0: to the end)");
	object_class_property_add(oc, "fabric-ports", "str", vboard_get_path, vboard_set_path, NULL,
				  (void *)offsetof(VBoardMachineState, fabric_ports_library));
	object_class_property_set_description(oc, "fabric-ports",
					      "the board's ports as a design of the fabric "
					      "in place of their model: a library");
	object_class_property_add(oc, "fabric-base", "uint64", vboard_get_u64, vboard_set_u64, NULL,
				  (void *)offsetof(VBoardMachineState, fabric_base));
	object_class_property_set_description(oc, "fabric-base",
					      "where the fabric's design sits (by default 64 KiB "
					      "into the bridge's window)");
	object_class_property_add(oc, "fabric-clock", "uint64", vboard_get_u64, vboard_set_u64,
				  NULL, (void *)offsetof(VBoardMachineState, fabric_clock_hz));
	object_class_property_set_description(oc, "fabric-clock",
					      "the fabric's clock in Hz (50000000)");
	object_class_property_add(oc, "ledr", "int", vboard_get_ledr, NULL, NULL, NULL);
	object_class_property_set_description(
		oc, "ledr", "the ten LEDs the fabric's design drives, bit n: LEDR n lit");
	object_class_property_add(oc, "hex", "intList", vboard_get_hex, NULL, NULL, NULL);
	object_class_property_set_description(
		oc, "hex",
		"the six digits the fabric's design drives, hex0 first: "
		"segment a in bit 0, a lit segment 0");
}

void vboard_class_add_properties(ObjectClass *oc)
{
	unsigned i;

	for (i = 0; i < ARRAY_SIZE(vboard_inputs); i++) {
		const VBoardInput *in = &vboard_inputs[i];

		const char *type = in->form == FORM_WORD ? "str"
				   : in->count > 1	 ? "intList"
							 : "int";

		object_class_property_add(oc, in->name, type, in->show ? vboard_input_get : NULL,
					  vboard_input_set, NULL, (void *)in);
		object_class_property_set_description(oc, in->name, in->help);
	}
	object_class_property_add(oc, "switch-count", "uint32", vboard_get_switch_count, NULL, NULL,
				  NULL);
	object_class_property_set_description(oc, "switch-count",
					      "how many slide switches the board has, SW0 up "
					      "(switches takes 12 bits)");
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
	vboard_class_add_fabric_properties(oc);
}
