// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * An accel that is wrong on purpose, for the tests of boardio check: its
 * name is accel's and it makes /dev/accel, but FAULT says how it fails.
 *   FAULT_OOPS    its load dereferences a null pointer
 *   FAULT_HANG    a read stops the processor for good (interrupts off)
 *   FAULT_RECORD  a read returns a record of the wrong form
 */
#include <linux/fs.h>
#include <linux/irqflags.h>
#include <linux/miscdevice.h>
#include <linux/module.h>

static const char record[] = "XX 0000 0000 0000 00\n";

static ssize_t broken_read(struct file *file, char __user *buf, size_t len, loff_t *pos)
{
#ifdef FAULT_HANG
	local_irq_disable();
	for (;;)
		cpu_relax();
#endif
	return simple_read_from_buffer(buf, len, pos, record, sizeof(record) - 1);
}

static const struct file_operations broken_fops = {
	.owner = THIS_MODULE,
	.read = broken_read,
};

static struct miscdevice broken_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "accel",
	.fops = &broken_fops,
};

static int __init broken_init(void)
{
#ifdef FAULT_OOPS
	*(volatile int *)NULL = 1;
#endif
	return misc_register(&broken_device);
}

static void __exit broken_exit(void)
{
	misc_deregister(&broken_device);
}

module_init(broken_init);
module_exit(broken_exit);
MODULE_LICENSE("GPL");
