// The virtual board's one board model, behind the plain C interface of
// model.h. The Board is zeroed static storage, valid before vbm_reset().
#include "vboard/board/model.h"
#include "models/board.h"
#include "models/adxl345_regs.h"
#include "models/i2c0_regs.h"
#include "models/panel_ports_regs.h"

namespace {
models::Board board;
} // namespace

extern "C" {

const vbm_window vbm_windows[] = {
	{models::I2C0_BASE, models::I2C0_SPAN},
	{models::SYSMGR_BASE, models::SYSMGR_SPAN},
	{models::LWBRIDGE_BASE, models::LWBRIDGE_SPAN},
};
const unsigned int vbm_window_count = sizeof(vbm_windows) / sizeof(vbm_windows[0]);

const vbm_register vbm_shown_registers[] = {
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
const unsigned int vbm_shown_register_count =
	sizeof(vbm_shown_registers) / sizeof(vbm_shown_registers[0]);

void vbm_reset(void)
{
	models::board_reset(&board);
}

void vbm_sync(unsigned long long now_ns)
{
	models::board_sync(&board, now_ns);
}

int vbm_store_continues_access(unsigned int phys, unsigned int value)
{
	bool busy = board.i2c0.in_flight || board.i2c0.tx_count;
	bool opens = phys == models::I2C0_BASE + models::I2C_DATA_CMD &&
		     (value & models::I2C_CMD_RESTART);

	return busy && !opens;
}

unsigned int vbm_read32(unsigned int phys)
{
	return models::board_read32(&board, phys);
}

void vbm_write32(unsigned int phys, unsigned int value)
{
	models::board_write32(&board, phys, value);
}

void vbm_set_accel(int x_mg, int y_mg, int z_mg)
{
	models::sensor_set_accel(&board, x_mg, y_mg, z_mg);
}

void vbm_set_bias(int x_mg, int y_mg, int z_mg)
{
	models::sensor_set_bias(&board, x_mg, y_mg, z_mg);
}

int vbm_set_noise(int amplitude_mg)
{
	if (amplitude_mg < 0)
		return 0;
	models::sensor_set_noise(&board, amplitude_mg);
	return 1;
}

void vbm_tap(int double_tap)
{
	models::sensor_tap(&board, double_tap != 0);
}

int vbm_press(unsigned int mask)
{
	if (mask & ~models::PORTS_KEY_MASK)
		return 0;
	models::ports_press(&board.ports, mask);
	return 1;
}

int vbm_set_switches(unsigned int value)
{
	if (value & ~models::PORTS_SWITCH_MASK)
		return 0;
	models::ports_set_switches(&board.ports, value);
	return 1;
}

void vbm_set_sensor_connected(int connected)
{
	models::sensor_set_connected(&board, connected != 0);
}

int vbm_set_devid(unsigned int devid)
{
	if (devid > 0xFF)
		return 0;
	models::sensor_set_devid(&board, (uint8_t)devid);
	return 1;
}

unsigned int vbm_peek_sensor(unsigned int address)
{
	return models::sensor_peek(&board, (uint8_t)address);
}

} // extern "C"
