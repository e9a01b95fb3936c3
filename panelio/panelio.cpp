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

/* Values of the latest records, masked to what a record can show. */
unsigned int KEY_data, SW_data;

volatile unsigned int *reg(volatile unsigned int *port, unsigned long offset)
{
	return port + offset / sizeof(*port);
}

int KEY_device_open(struct ks_inode *, struct ks_file *)
{
	return 0;
}

int KEY_device_release(struct ks_inode *, struct ks_file *)
{
	return 0;
}

int SW_device_open(struct ks_inode *, struct ks_file *)
{
	return 0;
}

int SW_device_release(struct ks_inode *, struct ks_file *)
{
	return 0;
}

/* Part of a record one read delivers: count characters from start. */
struct record_piece {
	unsigned int start;
	unsigned int count;
	bool fresh; /* take a new value from the port */
};

/*
 * One record, then end of file, the protocol /dev/accel follows too;
 * bytes = record length - position.
 *
 * A buffer that holds a record gets the first bytes characters of a fresh
 * record and the position becomes bytes: 0 gives the record length, which
 * in turn gives end of file and 0 again.
 *
 * A smaller buffer takes the record in pieces: the first piece reads the
 * port, later ones continue the same text from the position on without
 * touching the port (a piece-wise KEY read would report and clear presses
 * the caller never sees), and the position advances by what was delivered.
 *
 * Positions at or beyond the record length read as end of file and leave
 * the position 0. Returns false when the read delivers nothing.
 */
bool plan_read(unsigned int record_len, ks_size_t length, ks_loff_t *offset,
	       struct record_piece *piece)
{
	unsigned int position, bytes;

	if (*offset < 0 || *offset >= record_len) {
		*offset = 0;
		return false;
	}
	position = (unsigned int)*offset;
	bytes = record_len - position;
	if (!length)
		return false;

	if (length >= record_len) {
		piece->fresh = true;
		piece->start = 0;
		piece->count = bytes;
	} else {
		piece->fresh = position == 0;
		piece->start = position;
		piece->count = length < bytes ? (unsigned int)length : bytes;
	}
	return true;
}

/* A failed copy is only logged: the read goes on as if it had succeeded. */
ks_ssize_t deliver(char *buffer, const char *themessage, const struct record_piece *piece,
		   ks_loff_t *offset)
{
	if (ks_copy_to_user(buffer, themessage + piece->start, piece->count))
		ks_printk(KS_ERR "Error: copy_to_user unsuccessful");
	*offset = piece->start + piece->count;
	return piece->count;
}

ks_ssize_t KEY_device_read(struct ks_file *, char *buffer, ks_size_t length, ks_loff_t *offset)
{
	char themessage[KEY_RECORD_LEN + 1];
	struct record_piece piece;
	int err;

	if (!plan_read(KEY_RECORD_LEN, length, offset, &piece))
		return 0;

	/* Read and clear under the lock, so that a press is reported exactly
	 * once even with several readers; writing back only the bits read
	 * keeps a press that arrives in between for the next read. */
	err = ks_lock();
	if (err)
		return err;
	if (piece.fresh) {
		KEY_data = ks_readl(reg(KEY_ptr, KEY_EDGE_CAPTURE)) & KEY_BITS;
		ks_writel(KEY_data, reg(KEY_ptr, KEY_EDGE_CAPTURE));
	}
	ks_snprintf(themessage, sizeof(themessage), "%1X\n", KEY_data);
	ks_unlock();

	return deliver(buffer, themessage, &piece, offset);
}

ks_ssize_t SW_device_read(struct ks_file *, char *buffer, ks_size_t length, ks_loff_t *offset)
{
	char themessage[SW_RECORD_LEN + 1];
	struct record_piece piece;
	int err;

	if (!plan_read(SW_RECORD_LEN, length, offset, &piece))
		return 0;

	err = ks_lock();
	if (err)
		return err;
	if (piece.fresh)
		SW_data = ks_readl(SW_ptr) & SW_BITS;
	ks_snprintf(themessage, sizeof(themessage), "%03X\n", SW_data);
	ks_unlock();

	return deliver(buffer, themessage, &piece, offset);
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

	KEY_data = 0;
	SW_data = 0;
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
