/*
 * The board model as the virtual board's kernel module sees it: one board,
 * reached through plain C functions, so that the module's C side needs no
 * C++ and the C++ side no kernel header. Not thread-safe: the caller
 * serialises every call. Times are nanoseconds since the module started.
 */
#ifndef VBOARD_MODEL_H
#define VBOARD_MODEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* A modelled register window: physical base and span in bytes. */
struct vbm_window {
	unsigned int phys;
	unsigned int span;
};
extern const struct vbm_window vbm_windows[];
extern const unsigned int vbm_window_count;

/* Sensor registers that the control interface shows, by name. */
struct vbm_register {
	const char *name;
	unsigned char address;
};
extern const struct vbm_register vbm_shown_registers[];
extern const unsigned int vbm_shown_register_count;

void vbm_reset(void);
/* Brings the board clock up to now_ns; it never goes back. */
void vbm_sync(unsigned long long now_ns);
/* True for a store into I2C controller 0 that continues the access it is
 * busy with (any word but one that opens a new access with a restart). */
int vbm_store_continues_access(unsigned int phys, unsigned int value);
unsigned int vbm_read32(unsigned int phys);
void vbm_write32(unsigned int phys, unsigned int value);

/* What a person does to the board. Those that return int return 0 when the
 * value is out of range and leave the board as it was. */
void vbm_set_accel(int x_mg, int y_mg, int z_mg);
void vbm_set_bias(int x_mg, int y_mg, int z_mg);
int vbm_set_noise(int amplitude_mg);
void vbm_tap(int double_tap);
int vbm_press(unsigned int mask);
int vbm_set_switches(unsigned int value);
void vbm_set_sensor_connected(int connected);
int vbm_set_devid(unsigned int devid);
/* A sensor register as it stands, without the side effects of a bus read. */
unsigned int vbm_peek_sensor(unsigned int address);

#ifdef __cplusplus
}
#endif

#endif /* VBOARD_MODEL_H */
