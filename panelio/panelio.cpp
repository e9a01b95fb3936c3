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

typedef record_file<KEY_RECORD_LEN> key_record;
typedef record_file<SW_RECORD_LEN> sw_record;

volatile unsigned int *reg(volatile unsigned int *port, unsigned long offset)
{
	return port + offset / sizeof(*port);
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

/* A failed copy delivers nothing: the read fails and the position stays. */
ks_ssize_t copy_failed(ks_ssize_t ret)
{
	if (ret < 0)
		ks_printk(KS_ERR "Error: copy_to_user unsuccessful");
	return ret;
}

/*
 * One record, then end of file (record_file.h). A fresh record reads the
 * edge capture; its presses are cleared only once the record reached the
 * reader, and only the bits it reports, so that a press arriving in
 * between, or one whose record could not be copied, shows in the next
 * record. The lock makes read, copy and clear one step among readers, so
 * that every press is reported exactly once.
 */
ks_ssize_t KEY_device_read(struct ks_file *filp, char *buffer, ks_size_t length,
			   ks_loff_t *offset)
{
	key_record *record = record_file_of<KEY_RECORD_LEN>(filp);
	record_piece piece;
	unsigned int KEY_data = 0;
	ks_ssize_t ret;
	int err;

	err = ks_lock();
	if (err)
		return err;
	if (!record_plan(record, length, offset, &piece)) {
		ks_unlock();
		return 0;
	}
	if (piece.fresh) {
		KEY_data = ks_readl(reg(KEY_ptr, KEY_EDGE_CAPTURE)) & KEY_BITS;
		ks_snprintf(record->text, sizeof(record->text), "%1X\n", KEY_data);
	}
	ret = record_deliver(record, buffer, &piece, offset);
	if (ret >= 0 && piece.fresh)
		ks_writel(KEY_data, reg(KEY_ptr, KEY_EDGE_CAPTURE));
	ks_unlock();
	return copy_failed(ret);
}

ks_ssize_t SW_device_read(struct ks_file *filp, char *buffer, ks_size_t length,
			  ks_loff_t *offset)
{
	sw_record *record = record_file_of<SW_RECORD_LEN>(filp);
	record_piece piece;
	ks_ssize_t ret;
	int err;

	err = ks_lock();
	if (err)
		return err;
	if (!record_plan(record, length, offset, &piece)) {
		ks_unlock();
		return 0;
	}
	if (piece.fresh)
		ks_snprintf(record->text, sizeof(record->text), "%03X\n",
			    ks_readl(SW_ptr) & SW_BITS);
	ret = record_deliver(record, buffer, &piece, offset);
	ks_unlock();
	return copy_failed(ret);
}

const struct ks_fops KEY_fops = {
	KEY_device_open,
	KEY_device_release,
	KEY_device_read,
	0, /* read-only */
};

const struct ks_fops SW_fops = {
	SW_device_open,
	SW_device_release,
	SW_device_read,
	0, /* read-only */
};

/*
 * Registers one device: region, device object, class and node. On failure
 * everything this call acquired is released again and the error returned.
 */
int register_device(const char *name, const struct ks_fops *fops, ks_dev_t *dev_no,
		    struct ks_cdev **cdev, struct ks_class **cls)
{
	int err;

	err = ks_alloc_chrdev_region(dev_no, 0, 1, name);
	if (err < 0) {
		ks_printk(KS_WARNING "%s driver: alloc_chrdev_region() failed\n", name);
		return err;
	}

	*cdev = ks_cdev_alloc(fops);
	if (!*cdev) {
		ks_printk(KS_WARNING "%s driver: cdev_alloc() failed\n", name);
		err = -ENOMEM;
		goto fail_region;
	}
	err = ks_cdev_add(*cdev, *dev_no, 1);
	if (err < 0) {
		ks_printk(KS_WARNING "%s driver: cdev_add() failed\n", name);
		goto fail_cdev;
	}

	err = ks_class_create(cls, name);
	if (err < 0) {
		ks_printk(KS_WARNING "%s driver: class_create() failed\n", name);
		goto fail_cdev;
	}
	err = ks_device_create(*cls, *dev_no, name);
	if (err < 0) {
		ks_printk(KS_WARNING "%s driver: device_create() failed\n", name);
		goto fail_class;
	}

	ks_printk(KS_INFO "%s driver added\n", name);
	return 0;

fail_class:
	ks_class_destroy(*cls);
	*cls = 0;
fail_cdev:
	/* Also right for an object never added: it is only freed. */
	ks_cdev_del(*cdev);
	*cdev = 0;
fail_region:
	ks_unregister_chrdev_region(*dev_no, 1);
	return err;
}

void unregister_device(ks_dev_t dev_no, struct ks_cdev *cdev, struct ks_class *cls)
{
	ks_device_destroy(cls, dev_no);
	ks_cdev_del(cdev);
	ks_class_destroy(cls);
	ks_unregister_chrdev_region(dev_no, 1);
}

/* Maps the bridge window and forgets every press captured before now. */
int map_ports(void)
{
	volatile unsigned int *window = ks_ioremap(LW_BRIDGE_BASE, LW_BRIDGE_SPAN);

	if (!window) {
		ks_printk(KS_WARNING "panelio: ioremap_nocache() failed\n");
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
	unregister_device(KEY_dev_no, KEY_cdev, KEY_class);
fail_map:
	unmap_ports();
	return err;
}

/* The kernel holds the module while a node is open, so no read is running. */
void stop_drivers(void)
{
	unmap_ports();
	unregister_device(KEY_dev_no, KEY_cdev, KEY_class);
	unregister_device(SW_dev_no, SW_cdev, SW_class);
}
