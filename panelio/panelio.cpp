// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * panelio: the pushbutton and slide-switch ports behind the lightweight
 * bridge, as /dev/KEY and /dev/SW.
 *
 * /dev/KEY reads as one hex digit of the buttons pressed since the previous
 * read (reading forgets them); /dev/SW as three hex digits of the switch
 * positions. Each read returns one record, the next one end of file.
 *
 * Freestanding C++11: the kernel is reached only through ks.h.
 */
#include "ks.h"
#include "record_file.h"
#include "panelio.h"

namespace {

/* Lightweight bridge window. */
const unsigned long LW_BRIDGE_BASE = 0xFF200000;
const unsigned long LW_BRIDGE_SPAN = 0x5000;

/* Register byte offsets: the ports in the bridge window, and the edge
 * capture (write 1 to clear) in the pushbutton port, window offset 0x5C. */
const unsigned long SW_PORT_OFFSET = 0x40;
const unsigned long KEY_PORT_OFFSET = 0x50;
const unsigned long KEY_EDGE_CAPTURE = 0x0C;

/* Bits a record can show: four buttons, twelve switches. */
const unsigned int KEY_BITS = 0xF;
const unsigned int SW_BITS = 0xFFF;

/* Record lengths, without the terminating NUL of the text. */
const unsigned int KEY_RECORD_LEN = 2;
const unsigned int SW_RECORD_LEN = 4;

ks_dev_t KEY_dev_no, SW_dev_no;
struct ks_cdev *KEY_cdev, *SW_cdev;
struct ks_class *KEY_class, *SW_class;

volatile void *LW_virtual;
volatile unsigned int *KEY_ptr;
volatile unsigned int *SW_ptr;

/* The presses the record being made reports, cleared once delivered. */
unsigned int KEY_data;

volatile unsigned int *reg(volatile unsigned int *port, unsigned long offset)
{
	return port + offset / sizeof(*port);
}

/*
 * Load messages, at level warning, begin with the name of what they
 * concern: a device ("KEY driver: cdev_add() failed"), or the module for
 * the window both devices share.
 */
void load_failed(const char *name, const char *call)
{
	ks_printk(KS_WARNING "%s driver: %s failed\n", name, call);
}

/* A failed copy delivers nothing: the read fails and the position stays. */
ks_ssize_t copy_failed(ks_ssize_t ret)
{
	if (ret == -EFAULT)
		ks_printk(KS_ERR "Error: copy_to_user unsuccessful");
	return ret;
}

/* Each open file keeps the record it is delivering. */
int KEY_device_open(struct ks_inode *, struct ks_file *file)
{
	return record_file_open<KEY_RECORD_LEN>(file);
}

int KEY_device_release(struct ks_inode *, struct ks_file *file)
{
	record_file_release(file);
	return 0;
}

int SW_device_open(struct ks_inode *, struct ks_file *file)
{
	return record_file_open<SW_RECORD_LEN>(file);
}

int SW_device_release(struct ks_inode *, struct ks_file *file)
{
	record_file_release(file);
	return 0;
}

int make_KEY_record(char *themessage)
{
	KEY_data = ks_readl(reg(KEY_ptr, KEY_EDGE_CAPTURE)) & KEY_BITS;
	ks_snprintf(themessage, KEY_RECORD_LEN + 1, "%1X\n", KEY_data);
	return 0;
}

/* Only the bits the record reported: a press since stays captured. */
void clear_reported_presses(void)
{
	ks_writel(KEY_data, reg(KEY_ptr, KEY_EDGE_CAPTURE));
}

/*
 * One record, then end of file (record_file.h). A fresh record reads the
 * edge capture; its presses are cleared only once the record reached the
 * reader, and only the bits it reports, so that a press arriving in
 * between, or one whose record could not be copied, shows in the next
 * record. The lock makes read, copy and clear one step among readers, so
 * that every press is reported exactly once.
 */
ks_ssize_t KEY_device_read(struct ks_file *filp, char *buffer, ks_size_t length, ks_loff_t *offset)
{
	return copy_failed(record_read<KEY_RECORD_LEN>(filp, buffer, length, offset,
						       make_KEY_record, clear_reported_presses));
}

int make_SW_record(char *themessage)
{
	ks_snprintf(themessage, SW_RECORD_LEN + 1, "%03X\n", ks_readl(SW_ptr) & SW_BITS);
	return 0;
}

ks_ssize_t SW_device_read(struct ks_file *filp, char *buffer, ks_size_t length, ks_loff_t *offset)
{
	return copy_failed(
		record_read<SW_RECORD_LEN>(filp, buffer, length, offset, make_SW_record));
}

const struct ks_fops KEY_fops = {
	KEY_device_open, KEY_device_release, KEY_device_read, 0, /* read-only */
};

const struct ks_fops SW_fops = {
	SW_device_open, SW_device_release, SW_device_read, 0, /* read-only */
};

/* Registers one device and its node; logs a failure, or the success. */
int register_device(const char *name, const struct ks_fops *fops, ks_dev_t *dev_no,
		    struct ks_cdev **cdev, struct ks_class **cls)
{
	const char *failed;
	int err = ks_chrdev_register(name, fops, dev_no, cdev, cls, &failed);

	if (err) {
		load_failed(name, failed);
		return err;
	}
	ks_printk(KS_INFO "%s driver added\n", name);
	return 0;
}

/* Maps the bridge window and forgets every press captured before now. */
int map_ports(void)
{
	volatile unsigned int *window = ks_ioremap(LW_BRIDGE_BASE, LW_BRIDGE_SPAN);

	if (!window) {
		load_failed("panelio", "ioremap_nocache()");
		return -ENOMEM;
	}
	LW_virtual = window;
	KEY_ptr = reg(window, KEY_PORT_OFFSET);
	ks_writel(KEY_BITS, reg(KEY_ptr, KEY_EDGE_CAPTURE));
	SW_ptr = reg(window, SW_PORT_OFFSET);
	return 0;
}

void unmap_ports(void)
{
	ks_iounmap(static_cast<volatile unsigned int *>(LW_virtual));
	LW_virtual = 0;
	KEY_ptr = 0;
	SW_ptr = 0;
}

} // namespace

/*
 * The window is mapped before either node exists, so no read can reach an
 * unmapped window; a failed step undoes the earlier ones in reverse.
 */
int init_drivers(void)
{
	int err;

	err = map_ports();
	if (err)
		return err;

	err = register_device("KEY", &KEY_fops, &KEY_dev_no, &KEY_cdev, &KEY_class);
	if (err)
		goto fail_map;

	err = register_device("SW", &SW_fops, &SW_dev_no, &SW_cdev, &SW_class);
	if (err)
		goto fail_key;

	return 0;

fail_key:
	ks_chrdev_unregister(KEY_dev_no, KEY_cdev, KEY_class);
fail_map:
	unmap_ports();
	return err;
}

/* The kernel holds the module while a node is open, so no read is running. */
void stop_drivers(void)
{
	unmap_ports();
	ks_chrdev_unregister(KEY_dev_no, KEY_cdev, KEY_class);
	ks_chrdev_unregister(SW_dev_no, SW_cdev, SW_class);
}
