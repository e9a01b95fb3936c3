/* SPDX-License-Identifier: GPL-2.0-or-later */
// Device models of the board's register windows: the processor's I2C
// controller 0 with the accelerometer on its bus, the system manager's pin
// multiplexing, and the pushbutton and switch ports behind the lightweight
// bridge. Shared by the host tests and by the virtual board's QEMU machine
// (vboard/qemu/), so this is freestanding C++11: no library, no exceptions,
// no allocation,
// plain aggregates without constructors (a zeroed Board is valid storage;
// board_reset() gives it power-on state).
//
// Time is the board's own clock in nanoseconds. Every register access costs
// BOARD_ACCESS_NS and the I2C engine moves bytes at the programmed bit rate,
// so polling loops see bytes and samples arrive as they would on hardware.
// A host test moves time on with board_advance(); the virtual board brings
// it up to QEMU's virtual clock with board_sync() before every access. The models take no lock: a
// caller that shares a Board between threads serialises the calls.
//
// Register offsets and bits are in the *_regs.h headers beside this one.
#ifndef MODELS_BOARD_H
#define MODELS_BOARD_H

#include <stdint.h>

#include "models/lwbridge.h"

namespace models {

// Physical windows: the modelled devices', and the lightweight bridge's
// (lwbridge.h), in whose first 0x5000 bytes sit the pushbutton and switch
// ports.
const uint32_t I2C0_BASE = 0xFFC04000u, I2C0_SPAN = 0x100u;
const uint32_t SYSMGR_BASE = 0xFFD08000u, SYSMGR_SPAN = 0x800u;
const uint32_t LWBRIDGE_BASE = BOARD_LWBRIDGE_BASE, LWBRIDGE_SIZE = BOARD_LWBRIDGE_SIZE;
const uint32_t PORTS_BASE = LWBRIDGE_BASE, PORTS_SPAN = 0x5000u;

const uint64_t BOARD_ACCESS_NS = 100; // one register load or store
// The controller's input clock. With the driver's counts 90 and 160 an SCL
// period is (90 + 8) + (160 + 1) = 259 cycles, 2.59 us: 386 kbit/s, and a
// byte with its acknowledge takes 9 periods, 23.31 us.
const uint32_t I2C_INPUT_CLOCK_HZ = 100000000u;

const unsigned I2C_FIFO_DEPTH = 64;
const uint8_t SENSOR_ADDRESS = 0x53;
const unsigned TRACE_DEPTH = 4096; // recorded words / register writes

// --- accelerometer ---------------------------------------------------------
const unsigned ADXL_FIFO_SLOTS = 33; // 32 in the FIFO and the output registers

struct Adxl345 {
	uint8_t regs[64];	 // register file, by address (0x00 to 0x39 used)
	uint8_t pointer;	 // register pointer of the current access
	bool first_byte;	 // next written byte is a register address
	bool connected;		 // wired to the bus at all
	bool stalled;		 // answers, but its conversions have stopped
	int32_t accel_mg[3];	 // true acceleration per axis
	int32_t bias_mg[3];	 // fixed sensor error added to it
	int32_t gain_ppm[3];	 // sensitivity error, parts per million
	int32_t noise_mg;	 // uniform noise amplitude, +-noise_mg
	uint32_t noise_state;	 // seed of the deterministic noise generator
	uint64_t next_sample_ns; // when the next output sample is due
	uint64_t sample_number;	 // of the newest sample; indexes the noise
	uint64_t samples;	 // output samples produced
	// Samples waiting, oldest first: slot 0 is what the data registers
	// show. Bypass mode keeps one, the FIFO modes up to ADXL_FIFO_SLOTS.
	uint8_t fifo[ADXL_FIFO_SLOTS][6];
	unsigned fifo_count;
	bool triggered;	     // trigger mode: the trigger event happened
	uint8_t latch[6];    // data registers as the current burst sees them
	bool latched;	     // the current access has latched them
	uint32_t reg_writes; // register writes, and the first TRACE_DEPTH:
	uint8_t write_reg[TRACE_DEPTH], write_val[TRACE_DEPTH];
	uint32_t int_source_reads;
	uint32_t data_bursts;  // reads of DATAX0, one per well-formed burst
	uint32_t burst_bytes;  // data bytes read by the latest burst
	uint32_t guest_errors; // accesses to reserved or read-only registers
};

// --- I2C controller 0 ------------------------------------------------------
// What the controller does when its transmit queue runs empty in the middle
// of an access: hold the bus (clock line low) until the next word, which
// continues the access unless it has the restart bit, or send a stop, after
// which any word opens a new access. A build choice of the controller, so it
// is kept across resets. Hold is the default: the restart bit exists only
// on controllers built with it.
enum I2cQueueEnd { I2C_QUEUE_END_HOLD, I2C_QUEUE_END_STOP };

struct I2c0 {
	I2cQueueEnd queue_end;
	uint32_t con, tar, sar, enable;
	uint64_t enable_since_ns; // when the enable bit was last set
	bool enabled;		  // enable status: drops only once really idle
	bool idle_since_valid;	  // disabled and idle: status drops ...
	uint64_t idle_since_ns;	  // ... I2C_ENABLE_SETTLE_NS after this
	bool aborting;		  // abort bit set, the abort not yet done
	bool abort_timed;	  // ... and it completes at abort_done_ns
	uint64_t abort_done_ns;
	bool abort_latched; // queues held flushed until TX_ABRT is cleared
	uint32_t abort_source;
	uint32_t raw_intr; // latched interrupt bits (the levels are computed)
	uint32_t intr_mask;
	uint32_t rx_tl, tx_tl;
	uint32_t sda_hold, sda_setup, ack_general_call, fs_spklen;
	uint32_t hcnt, lcnt;	   // fast-mode SCL counts
	uint32_t ss_hcnt, ss_lcnt; // standard-mode SCL counts
	bool stuck_enabled;	   // fault: enable status never clears
	bool stuck_disabled;	   // fault: enable status never sets
	uint32_t tx[I2C_FIFO_DEPTH];
	unsigned tx_head, tx_count;
	uint8_t rx[I2C_FIFO_DEPTH];
	unsigned rx_head, rx_count;
	bool reading;	      // bus direction of the open access
	bool in_access;	      // an access is open on the bus
	bool on_hold;	      // ... and held, the transmit queue having run empty
	bool in_flight;	      // a word is on the wire until busy_until_ns
	bool flight_start;    // it opens with a start and the address byte(s)
	uint32_t flight_nack; // abort source when nobody acknowledges the address
	uint32_t flight_word;
	uint64_t busy_until_ns; // the word on the wire completes then
	uint64_t engine_ns;	// the engine has run up to here
	uint32_t words;		// command words stored, and the first TRACE_DEPTH:
	uint32_t word[TRACE_DEPTH];
	uint32_t bus_bytes;    // bytes that went over the bus (address included)
	uint32_t rx_bytes;     // bytes received from the target
	uint32_t tx_overflows; // words dropped because the queue was full
	uint32_t tx_ignored;   // words stored while disabled (dropped)
	uint32_t tx_flushed;   // words stored in the abort state (dropped)
	uint32_t rx_overflows; // received bytes dropped, the queue being full
	uint32_t aborts;       // accesses aborted: the target did not answer
	uint32_t user_aborts;  // aborts requested through the enable register
};

// --- system manager (pin multiplexing) ------------------------------------
struct SysMgr {
	uint32_t regs[SYSMGR_SPAN / 4];
};

// --- pushbutton and switch ports -------------------------------------------
// The registers read these fields as they are: the setters below keep them
// within what the ports can show, a test may force wider raw values.
struct PanelPorts {
	uint32_t switches;  // the switch data register (panel_ports_regs.h)
	uint32_t key_state; // buttons held down
	uint32_t key_mask;  // interrupt mask register
	uint32_t key_edges; // edge capture, write 1 to clear
};

// How the board's windows answer a load or store narrower than 32 bits
// (aligned to its size). The register descriptions give 32-bit registers
// and say nothing about narrower accesses, so the board may be built either
// way: the bus bridge widens them (a load reads the whole register, side
// effects included, and returns the addressed bytes; a store writes the
// whole register with the stored bytes in their lanes and zeros in the
// others), or it answers them with a bus error.
enum NarrowAccess { NARROW_WIDEN, NARROW_ERROR };

struct Board {
	uint64_t now_ns;
	NarrowAccess narrow; // a build choice: kept across resets
	uint32_t guest_errors;
	SysMgr sysmgr;
	I2c0 i2c0;
	Adxl345 sensor;
	PanelPorts ports;
};

// Power-on state of every device; the clock keeps its value.
void board_reset(Board *b);
// Advance the board clock by ns / up to now_ns (never backwards).
void board_advance(Board *b, uint64_t ns);
void board_sync(Board *b, uint64_t now_ns);
// The controller's end-of-queue behaviour (default hold); kept by resets.
void board_set_i2c_queue_end(Board *b, I2cQueueEnd end);
// Zero every counter and trace (words, bus bytes, overflows, aborts, sensor
// register writes, INT_SOURCE reads, bursts, samples).
void board_clear_traces(Board *b);

// Window access by physical address; unknown addresses read 0. Each access
// first moves the clock on by BOARD_ACCESS_NS and runs the devices up to it.
uint32_t board_read32(Board *b, uint32_t phys);
void board_write32(Board *b, uint32_t phys, uint32_t value);
// An access of size 1, 2 or 4 bytes at the board's current time (no access
// cost). False: the bus answers with an error and nothing happens, for an
// access not aligned to its size (the processor faults on those to device
// memory) or, on a board that refuses them, a narrow one.
bool board_load(Board *b, uint32_t phys, unsigned size, uint32_t *value);
bool board_store(Board *b, uint32_t phys, unsigned size, uint32_t value);
void board_set_narrow_access(Board *b, NarrowAccess narrow);

// A guest's mistake the models noticed: a store a register ignores, a load
// of an absent register, a refused access. Each one counts in the device's
// guest_errors and goes to guest_error_hook when one is set (the virtual
// board logs them as QEMU's guest errors).
typedef void (*GuestErrorHook)(const char *device, const char *what, uint32_t offset,
			       uint32_t value);
extern GuestErrorHook guest_error_hook;
void guest_error(uint32_t *count, const char *device, const char *what, uint32_t offset,
		 uint32_t value);

// A source of motion (the virtual board plays recordings through it). When
// one is set, each sample the sensor produces asks it for the true
// acceleration at the sample's own board time, in milli-g; sample times
// never go back. What it gives replaces the acceleration set by
// sensor_set_accel() (accel_mg keeps the latest), and gain, bias and noise
// apply on top as to a set one. False: it has nothing to give, the set
// acceleration stays. Not part of the saved state, as it is not the board's.
typedef bool (*MotionHook)(uint64_t at_ns, int32_t mg[3]);
extern MotionHook motion_hook;

// Interrupt outputs at the board's current time: I2C controller 0's
// combined line, and the sensor's INT1 and INT2 pins (pin 1 or 2) at their
// electrical level, DATA_FORMAT's INT_INVERT applied.
bool i2c0_irq_level(const Board *b);
bool sensor_int_pin(const Board *b, unsigned pin);
// Board time of the next change of any device's state by itself (a word
// done, a sample due), UINT64_MAX when none comes without software.
uint64_t board_next_event_ns(Board *b);
// A load at phys of an I2C controller register that repeats an earlier one
// is a poll (the caller, which sees the loads, tells which ones repeat).
// Nothing in that window can read differently before the controller's next
// event, so the board clock may jump to it, as an emulator's clock warps
// while its processor idles: the driver sees the same values, in fewer
// polls. board_poll_skip_until() is the board time a poll of phys may skip
// to: the controller's next event for a register of I2C controller 0;
// now_ns with no event pending (a controller that waits for software, so
// that a bounded wait for something that never comes takes as many polls
// and as much board time as ever) and for the other windows.
// board_skip_idle_poll() jumps to one access before it (the host tests'
// simulated kernel, whose every access costs BOARD_ACCESS_NS); the virtual
// board moves QEMU's clock there.
uint64_t board_poll_skip_until(Board *b, uint32_t phys);
void board_skip_idle_poll(Board *b, uint32_t phys);
// True when [phys, phys + size) lies inside one modelled window (size > 0).
bool board_has_window(uint32_t phys, uint32_t size);

// Per-device 32-bit register access by byte offset in the device's window,
// at the board's current time (no access cost); the offset is a multiple of
// 4 (board_load() and board_store() refuse others).
uint32_t i2c0_read(Board *b, uint32_t offset);
void i2c0_write(Board *b, uint32_t offset, uint32_t value);
uint32_t sysmgr_read(SysMgr *s, uint32_t offset);
void sysmgr_write(SysMgr *s, uint32_t offset, uint32_t value);
uint32_t ports_read(PanelPorts *p, uint32_t offset);
void ports_write(PanelPorts *p, uint32_t offset, uint32_t value);

// True when the pins carry I2C0 to the sensor.
bool sensor_bus_routed(const SysMgr *s);
// A sensor register as the bus would read it, without a read's side effects.
uint8_t sensor_peek(const Board *b, uint8_t reg);

// Outside world: what a person does to the board.
void sensor_set_accel(Board *b, int32_t x_mg, int32_t y_mg, int32_t z_mg);
void sensor_set_bias(Board *b, int32_t x_mg, int32_t y_mg, int32_t z_mg);
void sensor_set_noise(Board *b, int32_t amplitude_mg);
// A tap as the sensor feels it: a pulse of peak_mg on the axes in axes
// (TAP_AXES bits) for duration_us; with twice, a second one gap_us after the
// first ended. The sensor reports what its tap registers make of it.
struct SensorTap {
	uint8_t axes;
	int32_t peak_mg;
	uint32_t duration_us;
	bool twice;
	uint32_t gap_us;
};
void sensor_tap_event(Board *b, const SensorTap &tap);
// A firm tap on Z: 4 g for 1 ms; a double tap repeats it 100 ms later.
void sensor_tap(Board *b, bool double_tap);
// A part within the datasheet's spread of sensitivity and zero-g output,
// chosen by seed, with noise of about one full-resolution count; seed 0 is
// the ideal sensor again (the default).
void sensor_set_realistic(Board *b, uint32_t seed);
void sensor_set_connected(Board *b, bool connected);
// A part that answers on the bus and keeps its registers but measures no
// more samples (its conversions stopped, as after a brown-out).
void sensor_set_stalled(Board *b, bool stalled);
// The sensor's supply switched off and on: its registers back to power-on
// (standby, no samples); what it feels and how it is wired stay.
void sensor_power_cycle(Board *b);
void sensor_set_devid(Board *b, uint8_t devid);
void ports_press(PanelPorts *p, uint32_t mask); // press and release
void ports_hold(PanelPorts *p, uint32_t mask);	// buttons held from now on
void ports_set_switches(PanelPorts *p, uint32_t value);
// Test only: raw register contents the real ports cannot produce.
void ports_force_switches(PanelPorts *p, uint32_t raw);
void ports_force_edges(PanelPorts *p, uint32_t raw);

// Board time of the controller's next change of state after now (a word
// or an abort done), UINT64_MAX when it waits for software: until then no
// register of its window reads differently. Lets a simulation skip the
// time a driver spends polling it (board_skip_idle_poll()).
uint64_t i2c0_next_event_ns(Board *b);

// Between the models (not for drivers).
void i2c0_reset(I2c0 *c, uint64_t now_ns);
void i2c0_run(Board *b, uint64_t until_ns);
void sysmgr_reset(SysMgr *s);
void ports_reset(PanelPorts *p);
void adxl345_reset(Adxl345 *s);
void adxl345_run(Adxl345 *s, uint64_t until_ns);
uint64_t adxl345_next_event_ns(const Adxl345 *s);
void adxl345_bus_start(Adxl345 *s, bool read);
void adxl345_bus_stop(Adxl345 *s);
void adxl345_bus_write(Adxl345 *s, uint8_t byte, uint64_t at_ns);
uint8_t adxl345_bus_read(Adxl345 *s, uint64_t at_ns);

} // namespace models

#endif
