// SPDX-License-Identifier: GPL-2.0-or-later
// ADXL345 accelerometer as an I2C target: register file, register pointer,
// output data at the programmed rate, the FIFO in its four modes, tap
// detection, the two interrupt pins, self-test, data format arithmetic, and
// on request a part's sensitivity and offset spread. Behaviour from the
// datasheet (Rev. G): register map and reserved addresses (Table 19),
// FIFO modes and FIFO_STATUS (pages 21 and 27), interrupts (page 20),
// self-test conditions (Table 1 and page 22), the always-zero LSB at the
// upper data rates (page 32).
//
// Samples are produced lazily: whenever the bus or the outside world looks
// at the sensor, it first catches up to that time in one step, however long
// it stood still. Only the samples the FIFO can still hold are computed.
//
// The data registers show the oldest waiting sample. The first data
// register read of an access takes it out (the FIFO pops; in bypass mode
// the sample is consumed), and the rest of that access reads the same one,
// so a burst is never torn and a single-byte read pops a whole level, as
// the datasheet says.
#include "models/board.h"
#include "models/adxl345_regs.h"

namespace models {

MotionHook motion_hook;

namespace {

const int32_t INPUT_LIMIT_MG = 100000; // far beyond the widest range
const uint8_t INT_CLEARED_BY_READ = ADXL_INT_SINGLE_TAP | ADXL_INT_DOUBLE_TAP | ADXL_INT_ACTIVITY |
				    ADXL_INT_INACTIVITY | ADXL_INT_FREE_FALL;
const uint32_t NOISE_SEED_RESET = 0x2545F491u;

// Kernel builds have no 64-bit division routine.
uint64_t div_u64(uint64_t n, uint64_t d)
{
	if (n < d)
		return 0;
	uint64_t q = 0, r = 0;
	for (int i = 63; i >= 0; i--) {
		r = (r << 1) | ((n >> i) & 1);
		if (r >= d) {
			r -= d;
			q |= (uint64_t)1 << i;
		}
	}
	return q;
}

// Quotient rounded to nearest, halves away from zero; d > 0.
int32_t div_round(int32_t n, int32_t d)
{
	return n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d);
}

int32_t clamp(int32_t v, int32_t lo, int32_t hi)
{
	return v < lo ? lo : v > hi ? hi : v;
}

bool measuring(const Adxl345 *s)
{
	return (s->regs[ADXL_POWER_CTL] & ADXL_POWER_CTL_MEASURE) && !s->stalled;
}

uint64_t sample_period_ns(const Adxl345 *s)
{
	unsigned code = s->regs[ADXL_BW_RATE] & ADXL_BW_RATE_CODE_MASK;
	return (uint64_t)ADXL_FASTEST_PERIOD_NS << (15 - code);
}

bool reserved(uint8_t reg)
{
	return (reg >= ADXL_RESERVED_FIRST && reg <= ADXL_RESERVED_LAST) ||
	       reg > ADXL_LAST_REGISTER;
}

bool writable(uint8_t reg)
{
	return (reg >= ADXL_THRESH_TAP && reg <= ADXL_TAP_AXES) ||
	       (reg >= ADXL_BW_RATE && reg <= ADXL_INT_MAP) || reg == ADXL_DATA_FORMAT ||
	       reg == ADXL_FIFO_CTL;
}

bool is_data(uint8_t reg)
{
	return reg >= ADXL_DATAX0 && reg <= ADXL_DATAZ1;
}

uint32_t mix32(uint32_t x)
{
	x ^= x >> 16;
	x *= 0x7FEB352Du;
	x ^= x >> 15;
	x *= 0x846CA68Bu;
	x ^= x >> 16;
	return x;
}

// Noise depends only on the seed, the sample number and the axis, so it is
// the same however the samples were observed.
int32_t axis_noise_mg(const Adxl345 *s, unsigned axis)
{
	int32_t amplitude = clamp(s->noise_mg, 0, INPUT_LIMIT_MG);
	if (!amplitude)
		return 0;
	uint32_t span = 2u * (uint32_t)amplitude + 1;
	uint32_t h = mix32(s->noise_state ^ mix32((uint32_t)s->sample_number * 3u + axis));
	return (int32_t)(h % span) - amplitude;
}

// The acceleration scaled by the part's sensitivity error (in steps of 16
// ppm, so that 32 bits hold it).
int32_t with_gain(const Adxl345 *s, unsigned axis, int32_t mg)
{
	int32_t gain =
		clamp(s->gain_ppm[axis], -ADXL_SENSITIVITY_SPREAD_PPM, ADXL_SENSITIVITY_SPREAD_PPM);
	return mg + mg * (gain / 16) / (1000000 / 16);
}

bool self_test_defined(const Adxl345 *s)
{
	uint8_t bw = s->regs[ADXL_BW_RATE];
	uint8_t code = bw & ADXL_BW_RATE_CODE_MASK;
	bool rate = (code >= ADXL_SELF_TEST_RATE_MIN && code <= ADXL_SELF_TEST_RATE_MAX) ||
		    code == ADXL_RATE_3200HZ;
	return rate && !(bw & ADXL_BW_RATE_LOW_POWER);
}

// One axis in output counts for the programmed DATA_FORMAT and offset. The
// self-test bit adds its electrostatic force to what the sensor feels.
uint16_t axis_output(const Adxl345 *s, unsigned axis)
{
	uint8_t format = s->regs[ADXL_DATA_FORMAT];
	unsigned range = format & ADXL_FORMAT_RANGE_MASK;
	bool full_res = format & ADXL_FORMAT_FULL_RES;
	int32_t felt = clamp(s->accel_mg[axis], -INPUT_LIMIT_MG, INPUT_LIMIT_MG);
	if ((format & ADXL_FORMAT_SELF_TEST) && self_test_defined(s))
		felt += ADXL_SELF_TEST_MG[axis];
	int32_t mg = with_gain(s, axis, felt) +
		     clamp(s->bias_mg[axis], -INPUT_LIMIT_MG, INPUT_LIMIT_MG) +
		     axis_noise_mg(s, axis);
	mg = clamp(mg, -INPUT_LIMIT_MG, INPUT_LIMIT_MG);
	int32_t ug = mg * 1000 + (int8_t)s->regs[ADXL_OFSX + axis] * ADXL_OFFSET_UG_PER_LSB;
	// 256 counts per g at full resolution and at +-2 g; each wider 10-bit
	// range halves it: counts = ug * 256 / (1000000 << shift).
	unsigned shift = full_res ? 0 : range;
	int32_t counts = div_round(ug * 4, 15625 << shift);
	unsigned bits = full_res ? 10 + range : 10;
	int32_t limit = 1 << (bits - 1);
	counts = clamp(counts, -limit, limit - 1);
	// At 1600 and 3200 Hz the LSB is always 0 at full resolution and in
	// the +-2 g 10-bit mode.
	unsigned code = s->regs[ADXL_BW_RATE] & ADXL_BW_RATE_CODE_MASK;
	if (code >= ADXL_RATE_1600HZ && (full_res || range == 0))
		counts &= ~1;
	if (format & ADXL_FORMAT_JUSTIFY)
		return (uint16_t)((uint32_t)counts << (16 - bits));
	return (uint16_t)counts;
}

uint8_t fifo_mode(const Adxl345 *s)
{
	return s->regs[ADXL_FIFO_CTL] >> ADXL_FIFO_MODE_SHIFT;
}

unsigned watermark(const Adxl345 *s)
{
	return s->regs[ADXL_FIFO_CTL] & ADXL_FIFO_SAMPLES_MASK;
}

void fifo_drop_oldest(Adxl345 *s)
{
	for (unsigned i = 1; i < s->fifo_count; i++)
		__builtin_memcpy(s->fifo[i - 1], s->fifo[i], 6);
	s->fifo_count--;
}

// The sample numbered sample_number enters the FIFO (or replaces the one
// waiting in bypass mode); a full FIFO-mode FIFO, or a triggered one,
// drops it instead. Replacing or dropping an unread sample is an overrun.
void produce_sample(Adxl345 *s)
{
	uint8_t mode = fifo_mode(s);
	unsigned capacity = mode == ADXL_FIFO_BYPASS ? 1 : ADXL_FIFO_SLOTS;
	bool keeps_oldest = mode == ADXL_FIFO_FIFO || (mode == ADXL_FIFO_TRIGGER && s->triggered);
	if (s->fifo_count == capacity) {
		s->regs[ADXL_INT_SOURCE] |= ADXL_INT_OVERRUN;
		if (keeps_oldest)
			return;
		fifo_drop_oldest(s);
	}
	uint8_t *slot = s->fifo[s->fifo_count++];
	for (unsigned axis = 0; axis < 3; axis++) {
		uint16_t v = axis_output(s, axis);
		slot[2 * axis] = (uint8_t)v;
		slot[2 * axis + 1] = (uint8_t)(v >> 8);
	}
}

// The data registers and the FIFO-derived interrupt bits follow the FIFO.
void fifo_changed(Adxl345 *s)
{
	if (s->fifo_count)
		__builtin_memcpy(&s->regs[ADXL_DATAX0], s->fifo[0], 6);
	uint8_t src = s->regs[ADXL_INT_SOURCE] & ~(ADXL_INT_DATA_READY | ADXL_INT_WATERMARK);
	if (s->fifo_count)
		src |= ADXL_INT_DATA_READY;
	if (s->fifo_count >= watermark(s))
		src |= ADXL_INT_WATERMARK;
	s->regs[ADXL_INT_SOURCE] = src;
}

uint8_t fifo_status(const Adxl345 *s)
{
	// Entries: samples in the FIFO proper, the one in the data registers
	// not counted (at most 32).
	uint8_t entries = s->fifo_count ? (uint8_t)(s->fifo_count - 1) : 0;
	return entries | (s->triggered ? ADXL_FIFO_STATUS_TRIG : 0);
}

uint8_t int_source(const Adxl345 *s)
{
	return s->regs[ADXL_INT_SOURCE];
}

bool pin_active(const Adxl345 *s, unsigned pin)
{
	uint8_t events = s->regs[ADXL_INT_SOURCE] & s->regs[ADXL_INT_ENABLE];
	uint8_t map = s->regs[ADXL_INT_MAP];
	return events & (pin == 2 ? map : (uint8_t)~map);
}

// Trigger mode: an event on the trigger pin keeps the newest `samples`
// samples and turns the FIFO into FIFO mode until it is re-armed.
void check_trigger(Adxl345 *s)
{
	if (fifo_mode(s) != ADXL_FIFO_TRIGGER || s->triggered)
		return;
	unsigned pin = s->regs[ADXL_FIFO_CTL] & ADXL_FIFO_TRIGGER_INT2 ? 2 : 1;
	if (!pin_active(s, pin))
		return;
	s->triggered = true;
	while (s->fifo_count > watermark(s))
		fifo_drop_oldest(s);
	fifo_changed(s);
}

uint8_t read_register(Adxl345 *s, uint8_t reg)
{
	if (reserved(reg)) {
		guest_error(&s->guest_errors, "adxl345", "read of a reserved register (reads 0)",
			    reg, 0);
		return 0;
	}
	if (reg == ADXL_INT_SOURCE) {
		uint8_t v = int_source(s);
		s->int_source_reads++;
		s->regs[ADXL_INT_SOURCE] &= ~INT_CLEARED_BY_READ;
		return v;
	}
	if (reg == ADXL_FIFO_STATUS)
		return fifo_status(s);
	if (!is_data(reg))
		return s->regs[reg];
	// The first data read of an access takes the oldest sample out, so a
	// sample arriving mid-burst waits for the next burst instead of
	// tearing this one.
	if (!s->latched) {
		__builtin_memcpy(s->latch, &s->regs[ADXL_DATAX0], 6);
		s->latched = true;
		s->burst_bytes = 0;
		if (s->fifo_count)
			fifo_drop_oldest(s);
		s->regs[ADXL_INT_SOURCE] &= ~ADXL_INT_OVERRUN;
		fifo_changed(s);
	}
	if (reg == ADXL_DATAX0)
		s->data_bursts++;
	s->burst_bytes++;
	return s->latch[reg - ADXL_DATAX0];
}

void write_register(Adxl345 *s, uint8_t reg, uint8_t value, uint64_t at_ns)
{
	if (s->reg_writes < TRACE_DEPTH) {
		s->write_reg[s->reg_writes] = reg;
		s->write_val[s->reg_writes] = value;
	}
	s->reg_writes++;
	if (!writable(reg)) {
		guest_error(&s->guest_errors, "adxl345",
			    "write to a read-only or reserved register (ignored)", reg, value);
		return;
	}
	uint8_t old = s->regs[reg];
	s->regs[reg] = value;
	if (reg == ADXL_FIFO_CTL) {
		// A new mode starts empty and a trigger is re-armed; a new
		// watermark only moves the WATERMARK bit.
		if ((old ^ value) >> ADXL_FIFO_MODE_SHIFT) {
			s->fifo_count = 0;
			s->triggered = false;
		}
		fifo_changed(s);
	}
	bool starts = reg == ADXL_POWER_CTL && !(old & ADXL_POWER_CTL_MEASURE) &&
		      (value & ADXL_POWER_CTL_MEASURE);
	bool new_rate =
		reg == ADXL_BW_RATE && measuring(s) && ((old ^ value) & ADXL_BW_RATE_CODE_MASK);
	if (starts || new_rate)
		s->next_sample_ns = at_ns + sample_period_ns(s);
}

} // namespace

void adxl345_reset(Adxl345 *s)
{
	__builtin_memset(s, 0, sizeof(*s));
	s->regs[ADXL_DEVID] = ADXL_DEVID_VALUE;
	s->regs[ADXL_BW_RATE] = ADXL_BW_RATE_RESET;
	s->regs[ADXL_INT_SOURCE] = ADXL_INT_SOURCE_RESET;
	s->connected = true;
	s->accel_mg[2] = 1000;
	s->noise_state = NOISE_SEED_RESET;
}

void adxl345_run(Adxl345 *s, uint64_t until_ns)
{
	if (!measuring(s) || until_ns < s->next_sample_ns)
		return;
	uint64_t period = sample_period_ns(s);
	uint64_t n = 1 + div_u64(until_ns - s->next_sample_ns, period);
	// Only the newest ADXL_FIFO_SLOTS can still be seen.
	uint64_t first = n > ADXL_FIFO_SLOTS ? n - ADXL_FIFO_SLOTS : 0;
	if (first && s->fifo_count)
		s->regs[ADXL_INT_SOURCE] |= ADXL_INT_OVERRUN;
	for (uint64_t i = first; i < n; i++) {
		int32_t mg[3];

		s->sample_number = s->sample_number + (i == first ? first + 1 : 1);
		if (motion_hook && motion_hook(s->next_sample_ns + i * period, mg))
			__builtin_memcpy(s->accel_mg, mg, sizeof(mg));
		produce_sample(s);
	}
	s->samples += n;
	s->next_sample_ns += n * period;
	fifo_changed(s);
	check_trigger(s);
}

uint64_t adxl345_next_event_ns(const Adxl345 *s)
{
	return measuring(s) ? s->next_sample_ns : UINT64_MAX;
}

void adxl345_bus_start(Adxl345 *s, bool read)
{
	s->first_byte = !read;
	s->latched = false;
}

void adxl345_bus_stop(Adxl345 *s)
{
	s->first_byte = false;
	s->latched = false;
}

void adxl345_bus_write(Adxl345 *s, uint8_t byte, uint64_t at_ns)
{
	adxl345_run(s, at_ns);
	if (s->first_byte) {
		s->pointer = byte;
		s->first_byte = false;
		return;
	}
	write_register(s, s->pointer, byte, at_ns);
	s->pointer++;
}

uint8_t adxl345_bus_read(Adxl345 *s, uint64_t at_ns)
{
	adxl345_run(s, at_ns);
	uint8_t v = read_register(s, s->pointer);
	s->pointer++;
	return v;
}

uint8_t sensor_peek(const Board *b, uint8_t reg)
{
	const Adxl345 *s = &b->sensor;
	if (reserved(reg))
		return 0;
	return reg == ADXL_FIFO_STATUS ? fifo_status(s) : s->regs[reg];
}

void sensor_set_accel(Board *b, int32_t x_mg, int32_t y_mg, int32_t z_mg)
{
	Adxl345 *s = &b->sensor;
	adxl345_run(s, b->now_ns);
	s->accel_mg[0] = x_mg;
	s->accel_mg[1] = y_mg;
	s->accel_mg[2] = z_mg;
}

void sensor_set_bias(Board *b, int32_t x_mg, int32_t y_mg, int32_t z_mg)
{
	Adxl345 *s = &b->sensor;
	adxl345_run(s, b->now_ns);
	s->bias_mg[0] = x_mg;
	s->bias_mg[1] = y_mg;
	s->bias_mg[2] = z_mg;
}

void sensor_set_noise(Board *b, int32_t amplitude_mg)
{
	adxl345_run(&b->sensor, b->now_ns);
	b->sensor.noise_mg = clamp(amplitude_mg, 0, INPUT_LIMIT_MG);
}

// Tap detection as the datasheet describes it: measuring, an axis of the
// pulse enabled in TAP_AXES, the pulse above THRESH_TAP (62.5 mg per LSB)
// and back below it within DUR (625 us per LSB, 0 disables taps). A second
// pulse is a double tap when it begins after Latent and within Window
// (1.25 ms per LSB each, 0 disables double taps). ACT_TAP_STATUS shows the
// axes of the tap; INT_SOURCE latches the events INT_ENABLE enables.
void sensor_tap_event(Board *b, const SensorTap &tap)
{
	Adxl345 *s = &b->sensor;
	adxl345_run(s, b->now_ns);
	const uint8_t *r = s->regs;
	uint8_t axes = tap.axes & r[ADXL_TAP_AXES] & ADXL_TAP_AXES_MASK;
	int32_t peak = clamp(tap.peak_mg, -INPUT_LIMIT_MG, INPUT_LIMIT_MG);
	bool above = (peak < 0 ? -peak : peak) * 16 > r[ADXL_THRESH_TAP] * ADXL_THRESH_TAP_MG_X16;
	bool short_enough = tap.duration_us < r[ADXL_DUR] * ADXL_DUR_US;
	if (!measuring(s) || !axes || !above || !short_enough)
		return;
	uint8_t events = ADXL_INT_SINGLE_TAP;
	uint32_t latent_us = r[ADXL_LATENT] * ADXL_LATENT_US;
	uint32_t window_us = r[ADXL_WINDOW] * ADXL_LATENT_US;
	if (tap.twice && latent_us && window_us && tap.gap_us > latent_us &&
	    tap.gap_us <= latent_us + window_us)
		events |= ADXL_INT_DOUBLE_TAP;
	s->regs[ADXL_ACT_TAP_STATUS] = (r[ADXL_ACT_TAP_STATUS] & ~ADXL_TAP_AXES_MASK) | axes;
	s->regs[ADXL_INT_SOURCE] |= events & r[ADXL_INT_ENABLE];
	check_trigger(s);
}

void sensor_tap(Board *b, bool double_tap)
{
	const SensorTap firm = {ADXL_TAP_Z, 4000, 1000, double_tap, 100000};
	sensor_tap_event(b, firm);
}

// A value in [-spread, spread], from a hash; 0 for the ideal part (seed 0).
static int32_t spread_value(uint32_t seed, uint32_t which, int32_t spread)
{
	return seed ? (int32_t)(mix32(seed * 6u + which) % (2u * spread + 1)) - spread : 0;
}

void sensor_set_realistic(Board *b, uint32_t seed)
{
	Adxl345 *s = &b->sensor;
	adxl345_run(s, b->now_ns);
	for (unsigned axis = 0; axis < 3; axis++) {
		s->gain_ppm[axis] = spread_value(seed, axis, ADXL_SENSITIVITY_SPREAD_PPM);
		s->bias_mg[axis] = spread_value(seed, 3 + axis, ADXL_ZERO_G_SPREAD_MG[axis]);
	}
	s->noise_mg = seed ? 4 : 0;
	s->noise_state = seed ? mix32(seed) : NOISE_SEED_RESET;
}

void sensor_set_connected(Board *b, bool connected)
{
	b->sensor.connected = connected;
}

void sensor_set_stalled(Board *b, bool stalled)
{
	Adxl345 *s = &b->sensor;
	// Conversions that start again take a whole period to the next sample.
	if (s->stalled && !stalled)
		s->next_sample_ns = b->now_ns + sample_period_ns(s);
	s->stalled = stalled;
}

void sensor_power_cycle(Board *b)
{
	Adxl345 *s = &b->sensor;
	Adxl345 kept = *s;
	adxl345_reset(s);
	s->connected = kept.connected;
	s->regs[ADXL_DEVID] = kept.regs[ADXL_DEVID];
	for (unsigned axis = 0; axis < 3; axis++) {
		s->accel_mg[axis] = kept.accel_mg[axis];
		s->bias_mg[axis] = kept.bias_mg[axis];
		s->gain_ppm[axis] = kept.gain_ppm[axis];
	}
	s->noise_mg = kept.noise_mg;
	s->noise_state = kept.noise_state;
}

bool sensor_int_pin(const Board *b, unsigned pin)
{
	const Adxl345 *s = &b->sensor;
	bool invert = s->regs[ADXL_DATA_FORMAT] & ADXL_FORMAT_INT_INVERT;
	return pin_active(s, pin) != invert;
}

void sensor_set_devid(Board *b, uint8_t devid)
{
	b->sensor.regs[ADXL_DEVID] = devid;
}

} // namespace models
