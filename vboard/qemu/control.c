// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The control page: the guest's board tool writes its command lines there and
 * reads the sensor's registers and the reason for a refusal.
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qemu/cutils.h"

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

const MemoryRegionOps vboard_control_ops = {
	.read = vboard_control_read,
	.write = vboard_control_write,
	.endianness = DEVICE_LITTLE_ENDIAN,
	.valid = {.min_access_size = 4, .max_access_size = 4},
};
