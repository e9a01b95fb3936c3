/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The virtual board's machine, as its parts see it: the machine's state,
 * the control page's layout, and what each part offers the others.
 */
#ifndef VBOARD_QEMU_VBOARD_H
#define VBOARD_QEMU_VBOARD_H

#include "hw/arm/virt.h"
#include "board_bridge.h"
#include "control_page.h"

#define TYPE_VBOARD_MACHINE MACHINE_TYPE_NAME("vboard")
OBJECT_DECLARE_TYPE(VBoardMachineState, VBoardMachineClass, VBOARD_MACHINE)

/* Interrupt lines (GIC SPIs) and the bus speed the device tree asks for. */
#define VBOARD_I2C0_SPI 10
#define VBOARD_SENSOR_INT1_SPI 11
#define VBOARD_I2C0_BUS_HZ 400000
#define VBOARD_SENSOR_ADDRESS 0x53
#define CMD_ARGS 3
#define VBOARD_POLL_SLOTS 4

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
	/* Loads of I2C controller 0's window since the last store: a poll
	 * repeats one (vboard.c, skip_idle_poll). */
	unsigned polls;
	uint32_t poll_offset[VBOARD_POLL_SLOTS], poll_value[VBOARD_POLL_SLOTS];
	MemoryRegion control;
	MemoryRegion mailbox;
	char *mailbox_file;    /* the mailbox property: the work of this run */
	uint32_t mailbox_size; /* bytes of it in the mailbox */
	uint8_t line[CTL_TEXT_SIZE];
	uint8_t message[CTL_TEXT_SIZE];
	uint32_t status;
};

struct VBoardMachineClass {
	VirtMachineClass parent_class;
	void (*parent_init)(MachineState *ms);
};

/* The board clock up to QEMU's virtual clock. */
void vboard_sync(VBoardMachineState *s);
/* Interrupt lines as the board stands now, and a wake-up at its next event. */
void vboard_update(VBoardMachineState *s);
/* A board tool command line; false, with the reason in errp, when refused. */
bool vboard_command_line(VBoardMachineState *s, const char *line, Error **errp);
/* The machine's properties: what a person does and how the board was built. */
void vboard_class_add_properties(ObjectClass *oc);
/* The control page and the mailbox beside it. */
void vboard_control_init(VBoardMachineState *s);
void vboard_control_class_init(ObjectClass *oc);

#endif
