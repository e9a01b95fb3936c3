// SPDX-License-Identifier: GPL-2.0-or-later
// The C interface of board_bridge.h over the device models. A bm_board is a
// models::Board: a zeroed Board is valid storage.
#include "board_bridge.h"
#include "models/board.h"
#include "models/adxl345_regs.h"
#include "models/i2c0_regs.h"
#include "models/panel_ports_regs.h"

struct bm_board {
	models::Board board;
};

static_assert(BM_KEY_MASK == models::PORTS_KEY_MASK && BM_SWITCH_MASK == models::PORTS_SWITCH_MASK,
	      "the ports' widths as the machine's properties give them");

namespace {

bool in_range_mg(const int32_t mg[3])
{
	for (int i = 0; i < 3; i++)
		if (mg[i] < -BM_MAX_MG || mg[i] > BM_MAX_MG)
			return false;
	return true;
}

} // namespace

extern "C" {

const bm_window bm_windows[BM_WINDOWS] = {
	{"i2c0", models::I2C0_BASE, models::I2C0_SPAN},
	{"sysmgr", models::SYSMGR_BASE, models::SYSMGR_SPAN},
	{"ports", models::PORTS_BASE, models::PORTS_SPAN},
};

const bm_register bm_shown_registers[] = {
	{"DEVID", models::ADXL_DEVID},
	{"THRESH_TAP", models::ADXL_THRESH_TAP},
	{"OFSX", models::ADXL_OFSX},
	{"OFSY", models::ADXL_OFSY},
	{"OFSZ", models::ADXL_OFSZ},
	{"DUR", models::ADXL_DUR},
	{"Latent", models::ADXL_LATENT},
	{"Window", models::ADXL_WINDOW},
	{"TAP_AXES", models::ADXL_TAP_AXES},
	{"BW_RATE", models::ADXL_BW_RATE},
	{"POWER_CTL", models::ADXL_POWER_CTL},
	{"INT_ENABLE", models::ADXL_INT_ENABLE},
	{"DATA_FORMAT", models::ADXL_DATA_FORMAT},
};
const unsigned int bm_shown_register_count =
	sizeof(bm_shown_registers) / sizeof(bm_shown_registers[0]);

size_t bm_board_size(void)
{
	return sizeof(bm_board);
}

void bm_reset(bm_board *b)
{
	models::board_reset(&b->board);
}

void bm_sync(bm_board *b, uint64_t now_ns)
{
	models::board_sync(&b->board, now_ns);
}

static uint32_t window_base(bm_window_id w)
{
	return w < BM_WINDOWS ? bm_windows[w].base : 0;
}

bool bm_read(bm_board *b, bm_window_id w, uint32_t offset, unsigned size, uint32_t *value)
{
	return models::board_load(&b->board, window_base(w) + offset, size, value);
}

bool bm_write(bm_board *b, bm_window_id w, uint32_t offset, unsigned size, uint32_t value)
{
	return models::board_store(&b->board, window_base(w) + offset, size, value);
}

void bm_set_narrow_error(bm_board *b, bool error)
{
	models::board_set_narrow_access(&b->board,
					error ? models::NARROW_ERROR : models::NARROW_WIDEN);
}

bool bm_narrow_error(const bm_board *b)
{
	return b->board.narrow == models::NARROW_ERROR;
}

bool bm_i2c0_irq(const bm_board *b)
{
	return models::i2c0_irq_level(&b->board);
}

bool bm_sensor_int1(const bm_board *b)
{
	return models::sensor_int_pin(&b->board, 1);
}

uint64_t bm_next_event_ns(bm_board *b)
{
	return models::board_next_event_ns(&b->board);
}

uint64_t bm_poll_skip_until(bm_board *b, bm_window_id w, uint32_t offset)
{
	return models::board_poll_skip_until(&b->board, bm_windows[w].base + offset);
}

void bm_sensor_power_cycle(bm_board *b)
{
	models::sensor_power_cycle(&b->board);
}

void bm_set_guest_error_hook(void (*hook)(const char *, const char *, uint32_t, uint32_t))
{
	models::guest_error_hook = hook;
}

void bm_set_motion_hook(bool (*hook)(uint64_t, int32_t[3]))
{
	models::motion_hook = hook;
}

uint32_t bm_i2c0_clock_hz(void)
{
	return models::I2C_INPUT_CLOCK_HZ;
}

void bm_set_queue_end(bm_board *b, bool stop)
{
	models::board_set_i2c_queue_end(&b->board, stop ? models::I2C_QUEUE_END_STOP
							: models::I2C_QUEUE_END_HOLD);
}

bool bm_queue_end_stop(const bm_board *b)
{
	return b->board.i2c0.queue_end == models::I2C_QUEUE_END_STOP;
}

bool bm_set_tilt(bm_board *b, const int32_t mg[3])
{
	if (!in_range_mg(mg))
		return false;
	models::sensor_set_accel(&b->board, mg[0], mg[1], mg[2]);
	return true;
}

void bm_tilt(const bm_board *b, int32_t mg[3])
{
	for (int i = 0; i < 3; i++)
		mg[i] = b->board.sensor.accel_mg[i];
}

bool bm_set_bias(bm_board *b, const int32_t mg[3])
{
	if (!in_range_mg(mg))
		return false;
	models::sensor_set_bias(&b->board, mg[0], mg[1], mg[2]);
	return true;
}

void bm_bias(const bm_board *b, int32_t mg[3])
{
	for (int i = 0; i < 3; i++)
		mg[i] = b->board.sensor.bias_mg[i];
}

bool bm_set_noise(bm_board *b, int32_t amplitude_mg)
{
	if (amplitude_mg < 0 || amplitude_mg > BM_MAX_MG)
		return false;
	models::sensor_set_noise(&b->board, amplitude_mg);
	return true;
}

int32_t bm_noise(const bm_board *b)
{
	return b->board.sensor.noise_mg;
}

void bm_tap(bm_board *b, bool double_tap)
{
	models::sensor_tap(&b->board, double_tap);
}

bool bm_press(bm_board *b, uint32_t mask)
{
	if (mask & ~models::PORTS_KEY_MASK)
		return false;
	models::ports_press(&b->board.ports, mask);
	return true;
}

bool bm_hold(bm_board *b, uint32_t mask)
{
	if (mask & ~models::PORTS_KEY_MASK)
		return false;
	models::ports_hold(&b->board.ports, mask);
	return true;
}

uint32_t bm_held(const bm_board *b)
{
	return b->board.ports.key_state;
}

bool bm_set_switches(bm_board *b, uint32_t value)
{
	if (value & ~models::PORTS_SWITCH_MASK)
		return false;
	models::ports_set_switches(&b->board.ports, value);
	return true;
}

uint32_t bm_switches(const bm_board *b)
{
	return b->board.ports.switches;
}

uint32_t bm_switch_count(void)
{
	return models::PORTS_SWITCHES;
}

void bm_set_sensor_connected(bm_board *b, bool connected)
{
	models::sensor_set_connected(&b->board, connected);
}

bool bm_sensor_connected(const bm_board *b)
{
	return b->board.sensor.connected;
}

bool bm_set_devid(bm_board *b, uint32_t devid)
{
	if (devid > 0xFF)
		return false;
	models::sensor_set_devid(&b->board, static_cast<uint8_t>(devid));
	return true;
}

uint8_t bm_peek_sensor(const bm_board *b, uint8_t address)
{
	return models::sensor_peek(&b->board, address);
}

} // extern "C"
