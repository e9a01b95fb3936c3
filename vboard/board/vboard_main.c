// SPDX-License-Identifier: GPL-2.0
/*
 * Board-model module of the virtual board.
 *
 * Holds the device models of the board's register windows (model.h) and
 * offers them to the drivers' virtual-board build as a register bus
 * (vboard_bus.h): a window base handed out points into bus_space, at the
 * window's slot, and each 32-bit load or store through it goes to the model
 * register at the same offset. The board clock follows real time as well as
 * bus traffic, so samples and bus bytes arrive as they would on the board.
 *
 * Stores that continue an access leave the clock alone, though. On the
 * board, the stores that make up one access follow each other within
 * nanoseconds; the emulated processor pauses between them (translating code,
 * taking interrupts) for longer than a byte takes on the bus, and real time
 * running on in such a pause would empty the controller's queue and end the
 * access half-way. Loads, which are how the driver watches the bus, and
 * stores that open an access catch the clock up to real time: what the bus
 * still had queued then completes before the new access, as it did on the
 * board long ago.
 *
 * /dev/board is the outside world: a write is one command (tilt, tap, press,
 * ...), a read lists the sensor registers.
 */
#include <linux/errno.h>
#include <linux/export.h>
#include <linux/fs.h>
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/ktime.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/uaccess.h>

#include "vboard_bus.h"
#include "model.h"

#define VBOARD_MAX_WINDOWS 8
#define VBOARD_COMMAND_MAX 64
#define VBOARD_COMMAND_WORDS 4
#define VBOARD_REGS_TEXT_MAX 512

static DEFINE_SPINLOCK(board_lock);
static u64 board_epoch_ns;

/* Never dereferenced: its addresses only name window offsets. */
static u8 *bus_space;
static unsigned long slot_start[VBOARD_MAX_WINDOWS];
static unsigned long bus_space_size;

static u64 board_time_ns(void)
{
	return ktime_get_ns() - board_epoch_ns;
}

/* Every model access: under the lock, with the board clock brought up to
 * real time first. */
static void board_enter(void)
{
	spin_lock(&board_lock);
	vbm_sync(board_time_ns());
}

/* A bus store: the clock catches up unless the store continues an access. */
static void board_enter_store(unsigned int phys, u32 value)
{
	spin_lock(&board_lock);
	if (!vbm_store_continues_access(phys, value))
		vbm_sync(board_time_ns());
}

static void board_leave(void)
{
	spin_unlock(&board_lock);
}

/* --- register bus ------------------------------------------------------ */

static bool window_holds(const struct vbm_window *w, unsigned long phys, unsigned long size)
{
	return size && size <= w->span && phys >= w->phys && phys - w->phys <= w->span - size;
}

void __iomem *vboard_ioremap(unsigned long phys, unsigned long size)
{
	unsigned int i;

	for (i = 0; i < vbm_window_count; i++) {
		const struct vbm_window *w = &vbm_windows[i];

		if (window_holds(w, phys, size))
			return (void __force __iomem *)(bus_space + slot_start[i] + (phys - w->phys));
	}
	pr_warn("vboard: no device model at %#lx (+%#lx)\n", phys, size);
	return NULL;
}
EXPORT_SYMBOL_GPL(vboard_ioremap);

/* Physical address of a bus pointer, or false for one outside every slot
 * or not 32-bit aligned. */
static bool bus_phys(const volatile void __iomem *addr, unsigned int *phys)
{
	unsigned long offset = (unsigned long)(__force const void *)addr - (unsigned long)bus_space;
	unsigned int i;

	if ((unsigned long)(__force const void *)addr < (unsigned long)bus_space ||
	    offset >= bus_space_size || offset % 4)
		return false;
	for (i = vbm_window_count; i-- > 0;) {
		if (offset >= slot_start[i]) {
			*phys = vbm_windows[i].phys + (offset - slot_start[i]);
			return true;
		}
	}
	return false;
}

void vboard_iounmap(volatile void __iomem *base)
{
	unsigned int phys;

	WARN(base && !bus_phys(base, &phys), "vboard: unmapping %p, not a window base\n", base);
}
EXPORT_SYMBOL_GPL(vboard_iounmap);

u32 vboard_readl(const volatile void __iomem *addr)
{
	unsigned int phys;
	u32 value;

	if (WARN_ONCE(!bus_phys(addr, &phys), "vboard: load from %p, outside the windows\n", addr))
		return ~0u;
	board_enter();
	value = vbm_read32(phys);
	board_leave();
	return value;
}
EXPORT_SYMBOL_GPL(vboard_readl);

void vboard_writel(u32 value, volatile void __iomem *addr)
{
	unsigned int phys;

	if (WARN_ONCE(!bus_phys(addr, &phys), "vboard: store to %p, outside the windows\n", addr))
		return;
	board_enter_store(phys, value);
	vbm_write32(phys, value);
	board_leave();
}
EXPORT_SYMBOL_GPL(vboard_writel);

/* --- control interface ------------------------------------------------- */

static int parse_mg3(char **words, int *mg)
{
	int i, err;

	for (i = 0; i < 3; i++) {
		err = kstrtoint(words[i], 10, &mg[i]);
		if (err)
			return err;
	}
	return 0;
}

static int cmd_tilt(char **words)
{
	int mg[3];
	int err = parse_mg3(words, mg);

	if (err)
		return err;
	board_enter();
	vbm_set_accel(mg[0], mg[1], mg[2]);
	board_leave();
	return 0;
}

static int cmd_bias(char **words)
{
	int mg[3];
	int err = parse_mg3(words, mg);

	if (err)
		return err;
	board_enter();
	vbm_set_bias(mg[0], mg[1], mg[2]);
	board_leave();
	return 0;
}

static int cmd_noise(char **words)
{
	int mg, ok;
	int err = kstrtoint(words[0], 10, &mg);

	if (err)
		return err;
	board_enter();
	ok = vbm_set_noise(mg);
	board_leave();
	return ok ? 0 : -EINVAL;
}

static int cmd_tap(char **words)
{
	board_enter();
	vbm_tap(0);
	board_leave();
	return 0;
}

static int cmd_doubletap(char **words)
{
	board_enter();
	vbm_tap(1);
	board_leave();
	return 0;
}

/* Commands taking one hexadecimal value. */
static int parse_hex(const char *word, unsigned int *value)
{
	return kstrtouint(word, 16, value);
}

static int cmd_press(char **words)
{
	unsigned int mask;
	int ok, err = parse_hex(words[0], &mask);

	if (err)
		return err;
	board_enter();
	ok = vbm_press(mask);
	board_leave();
	return ok ? 0 : -EINVAL;
}

static int cmd_switches(char **words)
{
	unsigned int value;
	int ok, err = parse_hex(words[0], &value);

	if (err)
		return err;
	board_enter();
	ok = vbm_set_switches(value);
	board_leave();
	return ok ? 0 : -EINVAL;
}

static int cmd_devid(char **words)
{
	unsigned int value;
	int ok, err = parse_hex(words[0], &value);

	if (err)
		return err;
	board_enter();
	ok = vbm_set_devid(value);
	board_leave();
	return ok ? 0 : -EINVAL;
}

static int cmd_sensor(char **words)
{
	int connected;

	if (!strcmp(words[0], "on"))
		connected = 1;
	else if (!strcmp(words[0], "off"))
		connected = 0;
	else
		return -EINVAL;
	board_enter();
	vbm_set_sensor_connected(connected);
	board_leave();
	return 0;
}

struct board_command {
	const char *name;
	int args;
	int (*run)(char **args);
};

static const struct board_command board_commands[] = {
	{ "tilt", 3, cmd_tilt },
	{ "bias", 3, cmd_bias },
	{ "noise", 1, cmd_noise },
	{ "tap", 0, cmd_tap },
	{ "doubletap", 0, cmd_doubletap },
	{ "press", 1, cmd_press },
	{ "switches", 1, cmd_switches },
	{ "sensor", 1, cmd_sensor },
	{ "devid", 1, cmd_devid },
};

/* Splits line into at most max words; -EINVAL when there are more. */
static int split_words(char *line, char **words, int max)
{
	int n = 0;
	char *word;

	while ((word = strsep(&line, " \t\n")) != NULL) {
		if (!*word)
			continue;
		if (n == max)
			return -EINVAL;
		words[n++] = word;
	}
	return n;
}

static int run_command(char *line)
{
	char *words[VBOARD_COMMAND_WORDS];
	int n = split_words(line, words, VBOARD_COMMAND_WORDS);
	unsigned int i;

	if (n <= 0)
		return -EINVAL;
	for (i = 0; i < ARRAY_SIZE(board_commands); i++) {
		const struct board_command *c = &board_commands[i];

		if (!strcmp(words[0], c->name))
			return n - 1 == c->args ? c->run(words + 1) : -EINVAL;
	}
	return -EINVAL;
}

static ssize_t board_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
	char line[VBOARD_COMMAND_MAX];
	int err;

	if (count >= sizeof(line))
		return -EINVAL;
	if (copy_from_user(line, buf, count))
		return -EFAULT;
	line[count] = '\0';
	err = run_command(line);
	return err ? err : count;
}

static ssize_t board_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	char text[VBOARD_REGS_TEXT_MAX];
	size_t len = 0;
	unsigned int i;

	board_enter();
	for (i = 0; i < vbm_shown_register_count; i++) {
		const struct vbm_register *r = &vbm_shown_registers[i];

		len += scnprintf(text + len, sizeof(text) - len, "%s 0x%02X\n", r->name,
				 vbm_peek_sensor(r->address));
	}
	board_leave();
	return simple_read_from_buffer(buf, count, ppos, text, len);
}

static const struct file_operations board_fops = {
	.owner = THIS_MODULE,
	.read = board_read,
	.write = board_write,
	.llseek = default_llseek,
};

static struct miscdevice board_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "board",
	.fops = &board_fops,
	.mode = 0600,
};

/* --- module ------------------------------------------------------------ */

static int __init vboard_init(void)
{
	unsigned int i;
	int err;

	if (vbm_window_count > VBOARD_MAX_WINDOWS)
		return -EINVAL;
	for (i = 0; i < vbm_window_count; i++) {
		slot_start[i] = bus_space_size;
		bus_space_size += vbm_windows[i].span;
	}
	bus_space = kzalloc(bus_space_size, GFP_KERNEL);
	if (!bus_space)
		return -ENOMEM;

	board_epoch_ns = ktime_get_ns();
	vbm_reset();

	err = misc_register(&board_device);
	if (err) {
		kfree(bus_space);
		return err;
	}
	return 0;
}

static void __exit vboard_exit(void)
{
	misc_deregister(&board_device);
	kfree(bus_space);
}

module_init(vboard_init);
module_exit(vboard_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Virtual board: device models behind the register windows, and /dev/board");
