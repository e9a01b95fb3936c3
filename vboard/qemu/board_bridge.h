/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The board's device models (models/, freestanding C++) as the machine's C
 * code sees them: one opaque board, plain C functions. The models take no
 * lock; QEMU calls these with its global lock held, so accesses from the
 * processors and from the monitor never overlap.
 */
#ifndef VBOARD_BOARD_BRIDGE_H
#define VBOARD_BOARD_BRIDGE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct bm_board;

/* Storage for one board: zeroed memory of this size, then bm_reset(). */
size_t bm_board_size(void);
/* Power-on state of every device; the board clock keeps its value. */
void bm_reset(struct bm_board *b);
/* Brings the board clock up to now_ns; it never goes back. */
void bm_sync(struct bm_board *b, uint64_t now_ns);

/* The board's register windows, by physical address. */
enum bm_window_id { BM_I2C0, BM_SYSMGR, BM_PORTS, BM_WINDOWS };
struct bm_window {
	const char *name;
	uint32_t base, span;
};
extern const struct bm_window bm_windows[BM_WINDOWS];

/* A register access of size 1, 2 or 4 bytes at a byte offset in a window,
 * at the board's current time. False: the bus answers with an error (an
 * unaligned access, or a narrow one on a board built to refuse them). */
bool bm_read(struct bm_board *b, enum bm_window_id w, uint32_t offset, unsigned size,
	     uint32_t *value);
bool bm_write(struct bm_board *b, enum bm_window_id w, uint32_t offset, unsigned size,
	      uint32_t value);
/* Narrow accesses: widened by the bus bridge (false, the default) or
 * refused with a bus error (true). Kept across resets. */
void bm_set_narrow_error(struct bm_board *b, bool error);
bool bm_narrow_error(const struct bm_board *b);

/* Interrupt outputs: I2C controller 0's line and the sensor's INT1 pin. */
bool bm_i2c0_irq(const struct bm_board *b);
bool bm_sensor_int1(const struct bm_board *b);
/* Board time of the next change of state by itself, UINT64_MAX for none. */
uint64_t bm_next_event_ns(struct bm_board *b);
/* Board time up to which a load that repeats an earlier one (a poll) of the
 * register at offset cannot read differently: where the clock may skip to,
 * now when it may not (models/board.h, board_poll_skip_until). */
uint64_t bm_poll_skip_until(struct bm_board *b, enum bm_window_id w, uint32_t offset);
/* The sensor's supply switched off and on. */
void bm_sensor_power_cycle(struct bm_board *b);
/* Where the models report a guest's mistakes. */
void bm_set_guest_error_hook(void (*hook)(const char *device, const char *what, uint32_t offset,
					  uint32_t value));
/* A source of motion for the sensor's samples (models/board.h's motion
 * hook): the true acceleration at a sample's board time, false for none. */
void bm_set_motion_hook(bool (*hook)(uint64_t at_ns, int32_t mg[3]));
/* The I2C controller's input clock, for the device tree. */
uint32_t bm_i2c0_clock_hz(void);
/* What I2C controller 0 does when its transmit queue runs empty: send a
 * stop (true), or hold the bus until the next word (false, the default).
 * Kept across resets: it is how the board was built. */
void bm_set_queue_end(struct bm_board *b, bool stop);
bool bm_queue_end_stop(const struct bm_board *b);

/*
 * What a person does to the board. The setters return false and leave the
 * board as it was for a value the board cannot take: an acceleration or a
 * bias beyond the sensor's widest range, a negative noise amplitude, buttons
 * beyond the four, switches beyond the register's twelve bits, a DEVID beyond
 * a byte.
 */
#define BM_MAX_MG 16000	     /* the sensor's widest range, +-16 g */
#define BM_KEY_MASK 0xF	     /* four pushbuttons */
#define BM_SWITCH_MASK 0xFFF /* the switch register's twelve bits */
bool bm_set_tilt(struct bm_board *b, const int32_t mg[3]);
void bm_tilt(const struct bm_board *b, int32_t mg[3]);
bool bm_set_bias(struct bm_board *b, const int32_t mg[3]);
void bm_bias(const struct bm_board *b, int32_t mg[3]);
bool bm_set_noise(struct bm_board *b, int32_t amplitude_mg);
int32_t bm_noise(const struct bm_board *b);
void bm_tap(struct bm_board *b, bool double_tap);
bool bm_press(struct bm_board *b, uint32_t mask);
/* Pushbuttons held down from now on (mask), the others up: a press as long
 * as a person holds the button. */
bool bm_hold(struct bm_board *b, uint32_t mask);
uint32_t bm_held(const struct bm_board *b);
bool bm_set_switches(struct bm_board *b, uint32_t value);
uint32_t bm_switches(const struct bm_board *b);
/* The board's slide switches, SW0 up: fewer than the register's bits
 * (models/panel_ports_regs.h says why). */
uint32_t bm_switch_count(void);
void bm_set_sensor_connected(struct bm_board *b, bool connected);
bool bm_sensor_connected(const struct bm_board *b);
bool bm_set_devid(struct bm_board *b, uint32_t devid);

/* Sensor registers the board tool shows, in order, and any register as it
 * stands, without the side effects of a bus read. */
struct bm_register {
	const char *name;
	uint8_t address;
};
extern const struct bm_register bm_shown_registers[];
extern const unsigned int bm_shown_register_count;
#define BM_SENSOR_REGISTERS 64
uint8_t bm_peek_sensor(const struct bm_board *b, uint8_t address);

#ifdef __cplusplus
}
#endif

#endif /* VBOARD_BOARD_BRIDGE_H */
