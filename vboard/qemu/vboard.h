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
#include "fabric_abi.h"
#include "models/lwbridge.h"

#define TYPE_VBOARD_MACHINE MACHINE_TYPE_NAME("vboard")
OBJECT_DECLARE_TYPE(VBoardMachineState, VBoardMachineClass, VBOARD_MACHINE)

/* Interrupt lines (GIC SPIs) and the bus speed the device tree asks for. */
#define VBOARD_I2C0_SPI 10
#define VBOARD_SENSOR_INT1_SPI 11
#define VBOARD_FABRIC_SPI 12

/*
 * The fabric's designs sit in the lightweight bridge's window
 * (models/lwbridge.h): the board's ports at its start, one's own design by
 * default 64 KiB in, clear of them (0xFF210000).
 */
#define VBOARD_FABRIC_BASE (BOARD_LWBRIDGE_BASE + 0x10000u)
#define VBOARD_FABRIC_CLOCK_HZ 50000000u
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

#define TYPE_VBOARD_FABRIC "boardio-fabric"
OBJECT_DECLARE_SIMPLE_TYPE(VBoardFabric, VBOARD_FABRIC)

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
	char *mailbox_file;	  /* the mailbox property: the work of this run */
	char *image;		  /* the image property: what the guest runs */
	uint32_t mailbox_size;	  /* bytes of it in the mailbox */
	int64_t host_ns;	  /* the host's time the guest read last */
	char regs[CTL_REGS_SIZE]; /* the registers' text the guest reads */
	uint8_t line[CTL_TEXT_SIZE];
	uint8_t message[CTL_TEXT_SIZE];
	uint32_t status;
	/* The fabric (fabric.c): one's own design, and the board's ports as
	 * logic in place of their model; the libraries' paths, NULL: none. */
	char *fabric_library, *fabric_ports_library;
	char *fabric_folder; /* the design's relative paths start there */
	char *fabric_trace;  /* the design's trace: its FST file */
	uint64_t fabric_trace_from_ns, fabric_trace_for_ns;
	uint64_t fabric_base, fabric_clock_hz;
	VBoardFabric *fabric, *fabric_ports;
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
/* The sensor registers the board tools show, "NAME 0xHH" lines; g_free it. */
char *vboard_regs_text(VBoardMachineState *s);
/* The machine's properties: what a person does and how the board was built. */
void vboard_class_add_properties(ObjectClass *oc);
/* The control page and the mailbox beside it. */
void vboard_control_init(VBoardMachineState *s);
void vboard_control_class_init(ObjectClass *oc);
/* A design in the fabric: its span, its top module's name, whether it has
 * an interrupt output; the board's pushbuttons (held, or pressed and
 * released) and switches; and its outputs to the board as they stand now. */
uint64_t vboard_fabric_span(VBoardFabric *f);
const char *vboard_fabric_top(VBoardFabric *f);
bool vboard_fabric_has_irq(VBoardFabric *f);
void vboard_fabric_set_inputs(VBoardFabric *f, uint32_t key, uint32_t sw);
void vboard_fabric_press(VBoardFabric *f, uint32_t mask);
void vboard_fabric_outputs(VBoardFabric *f, struct fabric_outputs *out);
/* The design started again from reset, also after it halted. */
void vboard_fabric_restart(VBoardFabric *f);
/* A trace into path from from_ns of guest time on, for for_ns (0: no end);
 * a NULL path ends it. */
bool vboard_fabric_trace(VBoardFabric *f, const char *path, uint64_t from_ns, uint64_t for_ns,
			 Error **errp);
/* The module table (control.c). */
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
