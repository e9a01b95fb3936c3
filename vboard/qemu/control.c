// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The control page (control_page.h): the guest's board tool writes its
 * command lines there and reads the sensor's registers and the reason for a
 * refusal; the front panel's reader reads the sensor's true acceleration;
 * the guest's module tools publish where the kernel loaded each module (the
 * module table, for vboard/debug); the guest finds the size of its work
 * there, and the work itself in the mailbox beside it, and the host's time
 * to set its wall clock from (the board's RTC, virt's PL031, counts whole
 * seconds of the same clock).
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qemu/cutils.h"
#include "qemu/timer.h"
#include "exec/address-spaces.h"
#include "hw/boards.h"
#include "qemu/log.h"
#include "migration/vmstate.h"

#include "vboard.h"

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
	if (offset >= CTL_REGS && offset < CTL_REGS + CTL_REGS_SIZE) {
		/* The first word takes the registers as they stand now. */
		if (offset == CTL_REGS) {
			g_autofree char *text = vboard_regs_text(s);

			pstrcpy(s->regs, sizeof(s->regs), text);
		}
		return ldl_le_p(s->regs + offset - CTL_REGS);
	}
	if (offset >= CTL_ACCEL && offset < CTL_ACCEL + 12) {
		int32_t mg[3];

		vboard_sync(s);
		bm_tilt(s->board, mg);
		return (uint32_t)mg[(offset - CTL_ACCEL) / 4];
	}
	switch (offset) {
	case CTL_ID:
		return CTL_ID_VALUE;
	case CTL_STATUS:
		return s->status;
	case CTL_MAILBOX_SIZE:
		return s->mailbox_size;
	case CTL_HOST_SEC:
		s->host_ns = qemu_clock_get_ns(QEMU_CLOCK_HOST);
		return s->host_ns / NANOSECONDS_PER_SECOND;
	case CTL_HOST_NSEC:
		return s->host_ns % NANOSECONDS_PER_SECOND;
	case CTL_MODULES:
		return s->modules_made;
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

/* --- the module table --------------------------------------------------- */

static void vboard_modules_operation(VBoardMachineState *s, uint64_t op)
{
	GString *table = s->modules_pending;

	switch (op) {
	case CTL_MODULES_BEGIN:
		if (table)
			g_string_truncate(table, 0);
		else
			s->modules_pending = g_string_new(NULL);
		return;
	case CTL_MODULES_ADD:
		if (!table)
			break;
		if (table->len + CTL_TEXT_SIZE > CTL_MODULES_MAX) {
			qemu_log_mask(LOG_GUEST_ERROR,
				      "vboard control: a module table beyond "
				      "%d bytes (the line dropped)\n",
				      CTL_MODULES_MAX);
			return;
		}
		g_string_append_len(table, (const char *)s->module_line,
				    strnlen((const char *)s->module_line, CTL_TEXT_SIZE));
		g_string_append_c(table, '\n');
		return;
	case CTL_MODULES_COMMIT:
		if (!table)
			break;
		g_free(s->modules);
		s->modules_len = table->len + 1;
		s->modules = g_string_free(table, false);
		s->modules_pending = NULL;
		s->modules_made++;
		return;
	}
	qemu_log_mask(
		LOG_GUEST_ERROR,
		"vboard control: module table operation %" PRIu64 " out of order or unknown\n", op);
}

/* A new boot has loaded no module yet. */
void vboard_modules_reset(VBoardMachineState *s)
{
	if (s->modules_pending)
		g_string_free(s->modules_pending, true);
	s->modules_pending = NULL;
	g_free(s->modules);
	s->modules = NULL;
	s->modules_len = 0;
	s->modules_made = 0;
}

static char *vboard_get_modules(Object *obj, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	return g_strdup(s->modules ? s->modules : "");
}

void vboard_class_add_module_properties(ObjectClass *oc)
{
	object_class_property_add_str(oc, "modules", vboard_get_modules, NULL);
	object_class_property_set_description(
		oc, "modules",
		"where the guest's kernel loaded each module: 'NAME build-id HEX' and "
		"'NAME SECTION 0xADDRESS' lines, as the guest published them");
}

static int vboard_modules_pre_load(void *opaque)
{
	vboard_modules_reset(opaque);
	return 0;
}

/* A table saved is one the guest wrote: NUL-terminated, no NUL inside. */
static int vboard_modules_post_load(void *opaque, int version_id)
{
	VBoardMachineState *s = opaque;

	if (s->modules_len && strlen(s->modules) + 1 != s->modules_len)
		return -EINVAL;
	return 0;
}

static bool vboard_modules_needed(void *opaque)
{
	VBoardMachineState *s = opaque;

	return s->modules;
}

const VMStateDescription vmstate_vboard_modules = {
	.name = "vboard/modules",
	.version_id = 1,
	.minimum_version_id = 1,
	.needed = vboard_modules_needed,
	.pre_load = vboard_modules_pre_load,
	.post_load = vboard_modules_post_load,
	.fields = (VMStateField[]){VMSTATE_UINT32(modules_len, VBoardMachineState),
				   VMSTATE_VBUFFER_ALLOC_UINT32(modules, VBoardMachineState, 1,
								NULL, modules_len),
				   VMSTATE_END_OF_LIST()},
};

static void vboard_control_write(void *opaque, hwaddr offset, uint64_t value, unsigned size)
{
	VBoardMachineState *s = opaque;

	if (offset >= CTL_LINE && offset < CTL_LINE + CTL_TEXT_SIZE)
		stl_le_p(s->line + offset - CTL_LINE, value);
	else if (offset >= CTL_MODULE_LINE && offset < CTL_MODULE_LINE + CTL_TEXT_SIZE)
		stl_le_p(s->module_line + offset - CTL_MODULE_LINE, value);
	else if (offset == CTL_COMMAND)
		vboard_control_line(s, value);
	else if (offset == CTL_MODULES)
		vboard_modules_operation(s, value);
}

static const MemoryRegionOps vboard_control_ops = {
	.read = vboard_control_read,
	.write = vboard_control_write,
	.endianness = DEVICE_LITTLE_ENDIAN,
	.valid = {.min_access_size = 4, .max_access_size = 4},
};

/* --- the mailbox: the work of this run ----------------------------------- */

/* Copies the mailbox property's file into the mailbox. */
static bool vboard_mailbox_fill(VBoardMachineState *s, Error **errp)
{
	g_autofree char *data = NULL;
	g_autoptr(GError) gerr = NULL;
	gsize length;

	if (!g_file_get_contents(s->mailbox_file, &data, &length, &gerr)) {
		error_setg(errp, "mailbox: %s", gerr->message);
		return false;
	}
	if (length > VBOARD_MAILBOX_SIZE) {
		error_setg(errp, "mailbox: %s holds %zu bytes, the mailbox %d", s->mailbox_file,
			   (size_t)length, VBOARD_MAILBOX_SIZE);
		return false;
	}
	memcpy(memory_region_get_ram_ptr(&s->mailbox), data, length);
	memory_region_set_dirty(&s->mailbox, 0, length);
	s->mailbox_size = length;
	return true;
}

static char *vboard_get_mailbox(Object *obj, Error **errp)
{
	return g_strdup(VBOARD_MACHINE(obj)->mailbox_file ?: "");
}

/* Set on the command line, the file is read once the machine is built. */
static void vboard_set_mailbox(Object *obj, const char *value, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	g_free(s->mailbox_file);
	s->mailbox_file = g_strdup(value);
	if (memory_region_size(&s->mailbox))
		vboard_mailbox_fill(s, errp);
}

/*
 * The mailbox is memory that the machine does not migrate: a machine
 * restored from a saved one finds there the work of the run that restores
 * it, not of the one that was saved.
 */
void vboard_control_init(VBoardMachineState *s)
{
	memory_region_init_io(&s->control, OBJECT(s), &vboard_control_ops, s, "vboard-control",
			      VBOARD_CONTROL_SIZE);
	memory_region_add_subregion(get_system_memory(), VBOARD_CONTROL_BASE, &s->control);
	memory_region_init_ram_nomigrate(&s->mailbox, OBJECT(s), "vboard-mailbox",
					 VBOARD_MAILBOX_SIZE, &error_fatal);
	memory_region_set_readonly(&s->mailbox, true);
	memory_region_add_subregion(get_system_memory(), VBOARD_MAILBOX_BASE, &s->mailbox);
	if (s->mailbox_file && !vboard_mailbox_fill(s, NULL)) {
		error_report("vboard: cannot fill the mailbox from '%s'", s->mailbox_file);
		exit(1);
	}
}

static char *vboard_get_image(Object *obj, Error **errp)
{
	return g_strdup(VBOARD_MACHINE(obj)->image ?: "");
}

static void vboard_set_image(Object *obj, const char *value, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	g_free(s->image);
	s->image = g_strdup(value);
}

static const uint64_t vboard_mailbox_size = VBOARD_MAILBOX_SIZE;

void vboard_control_class_init(ObjectClass *oc)
{
	object_class_property_add_uint64_ptr(oc, "mailbox-size", &vboard_mailbox_size,
					     OBJ_PROP_FLAG_READ);
	object_class_property_set_description(oc, "mailbox-size",
					      "the bytes of work the mailbox holds at most");
	object_class_property_add_str(oc, "mailbox", vboard_get_mailbox, vboard_set_mailbox);
	object_class_property_set_description(oc, "mailbox",
					      "a file the guest finds in its mailbox: the work "
					      "of a run");
	/* A restored machine is given no kernel: its image tells the tools. */
	object_class_property_add_str(oc, "image", vboard_get_image, vboard_set_image);
	object_class_property_set_description(oc, "image",
					      "the image folder the guest runs (vboard/image.sh), "
					      "for vboard/debug");
}
