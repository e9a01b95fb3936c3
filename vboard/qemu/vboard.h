/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The virtual board's machine, as its parts see it: the machine's state,
 * the control page's layout, and what each part offers the others.
 */
#ifndef VBOARD_QEMU_VBOARD_H
#define VBOARD_QEMU_VBOARD_H

#include "hw/arm/virt.h"
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
	CTL_ID = 0x00,		 /* reads CTL_ID_VALUE */
	CTL_COMMAND = 0x04,	 /* write N: run the first N bytes of CTL_LINE */
	CTL_STATUS = 0x08,	 /* CTL_STATUS_OK, or CTL_STATUS_REFUSED */
	CTL_MODULES = 0x0C,	 /* write a CTL_MODULES_* operation; reads tables made */
	CTL_ACCEL = 0x10,	 /* X, Y, Z: the sensor's true acceleration, milli-g */
	CTL_SENSOR = 0x100,	 /* sensor register n at CTL_SENSOR + 4 n */
	CTL_LINE = 0x200,	 /* a board tool command line, 4 bytes a word */
	CTL_MESSAGE = 0x300,	 /* why the last one was refused, NUL-terminated */
	CTL_MODULE_LINE = 0x400, /* a line of the module table, NUL-terminated */
};
#define CTL_ID_VALUE 0x76626432 /* "vbd2" */
#define CTL_TEXT_SIZE 0x100

/*
 * The module table: where the guest's kernel loaded each section of each
 * module, for a debugger on the host (vboard/debug). The guest writes it
 * whole after every change (vboard/guest/programs/modsections.c): begin, a
 * line at a time ("NAME build-id HEX", "NAME SECTION 0xADDRESS"), then
 * commit, which makes it the table the machine shows (the read-only
 * property modules). CTL_MODULES reads the tables committed since the
 * machine's reset, so that a guest can wait for its own.
 */
enum {
	CTL_MODULES_BEGIN = 1,
	CTL_MODULES_ADD = 2, /* the line at CTL_MODULE_LINE */
	CTL_MODULES_COMMIT = 3,
};
#define CTL_MODULES_MAX (64 * 1024) /* bytes of a table, at most */

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
	uint8_t module_line[CTL_TEXT_SIZE];
	GString *modules_pending; /* the table being written, NULL when none */
	char *modules;		  /* the table, NUL-terminated */
	uint32_t modules_len;	  /* its bytes, the NUL included */
	uint32_t modules_made;	  /* tables committed since the reset */

	/* Playback (motion.c): the recording and its play command's words. */
	struct recording *recording;
	char **play_words;
	int64_t play_start_ns; /* the virtual clock at its start */
	/* Saved with the machine: the words NUL-separated, the cursor (offset,
	 * line, passes, row time), what the file held. */
	uint8_t *play_saved_words;
	uint32_t play_saved_len;
	uint64_t play_cursor[4];
	uint64_t play_rows, play_length_ns;
};

struct VBoardMachineClass {
	VirtMachineClass parent_class;
	void (*parent_init)(MachineState *ms);
};

/* The board clock up to QEMU's virtual clock; returns that time. */
uint64_t vboard_sync(VBoardMachineState *s);
/* Interrupt lines as the board stands now, and a wake-up at its next event. */
void vboard_update(VBoardMachineState *s);
/* A board tool command line; false, with the reason in errp, when refused. */
bool vboard_command_line(VBoardMachineState *s, const char *line, Error **errp);
/* The machine's properties: what a person does and how the board was built. */
void vboard_class_add_properties(ObjectClass *oc);
/* The control page, for the guest's board tool; the module table. */
extern const MemoryRegionOps vboard_control_ops;
void vboard_class_add_module_properties(ObjectClass *oc);
void vboard_modules_reset(VBoardMachineState *s);
extern const VMStateDescription vmstate_vboard_modules;

/* Playback of recorded motion (motion.c). */
void vboard_class_add_play_properties(ObjectClass *oc);
void vboard_play_stop(VBoardMachineState *s);
/* After the board clock moved on: a recording played to its end stops. */
void vboard_play_sync(VBoardMachineState *s, uint64_t now_ns);
void vboard_play_pre_load(VBoardMachineState *s);
extern const VMStateDescription vmstate_vboard_play;

#endif
