// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Kernel services of ks.h over the Linux kernel API, for the C++ drivers.
 *
 * Every driver module links its own copy of this file, so THIS_MODULE, the
 * lock and the file-operations tables are that module's.
 *
 * One source for the board's 3.18 kernel and current kernels; the API
 * differences are chosen with LINUX_VERSION_CODE.
 */
#include <linux/cdev.h>
#include <linux/delay.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/io.h>
#include <linux/irqflags.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/version.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 11, 0)
#include <linux/uaccess.h>
#else
#include <asm/uaccess.h>
#endif

#include "ks.h"

/*
 * A device object and the real file-operations table built for it. The
 * table's entries forward to the driver's operations; an operation the
 * driver leaves out stays out, so the kernel answers for it as for any
 * driver (a write without a write entry fails with -EINVAL).
 */
struct ks_cdev {
	struct cdev *cdev;
	struct file_operations fops;
	const struct ks_fops *ops;
};

static const struct ks_fops *ks_file_ops(struct file *file)
{
	return container_of(file->f_op, struct ks_cdev, fops)->ops;
}

static int ks_fop_open(struct inode *inode, struct file *file)
{
	return ks_file_ops(file)->open((struct ks_inode *)inode, (struct ks_file *)file);
}

static int ks_fop_release(struct inode *inode, struct file *file)
{
	return ks_file_ops(file)->release((struct ks_inode *)inode, (struct ks_file *)file);
}

static ssize_t ks_fop_read(struct file *file, char __user *buf, size_t len, loff_t *off)
{
	return ks_file_ops(file)->read((struct ks_file *)file, (char __force *)buf, len, off);
}

static ssize_t ks_fop_write(struct file *file, const char __user *buf, size_t len, loff_t *off)
{
	return ks_file_ops(file)->write((struct ks_file *)file, (const char __force *)buf, len,
					off);
}

static struct ks_cdev *ks_cdev_alloc(const struct ks_fops *ops)
{
	struct ks_cdev *kc = kzalloc(sizeof(*kc), GFP_KERNEL);

	if (!kc)
		return NULL;
	kc->cdev = cdev_alloc();
	if (!kc->cdev) {
		kfree(kc);
		return NULL;
	}
	kc->ops = ops;
	kc->fops.owner = THIS_MODULE;
	if (ops->open)
		kc->fops.open = ks_fop_open;
	if (ops->release)
		kc->fops.release = ks_fop_release;
	if (ops->read)
		kc->fops.read = ks_fop_read;
	if (ops->write)
		kc->fops.write = ks_fop_write;
	kc->cdev->owner = THIS_MODULE;
	kc->cdev->ops = &kc->fops;
	return kc;
}

/*
 * Also for an object never added. Open files hold the module, and with it
 * the table, so it is only freed once none is left.
 */
static void ks_cdev_del(struct ks_cdev *kc)
{
	cdev_del(kc->cdev);
	kfree(kc);
}

static struct class *ks_class_create(const char *name)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	return class_create(name);
#else
	return class_create(THIS_MODULE, name);
#endif
}

int ks_chrdev_register(const char *name, const struct ks_fops *fops, ks_dev_t *dev,
		       struct ks_cdev **cdev, struct ks_class **cls, const char **failed)
{
	struct device *node;
	struct class *c;
	dev_t region;
	int err;

	/* The driver's types stand for the kernel's. */
	BUILD_BUG_ON(sizeof(ks_dev_t) != sizeof(dev_t));
	BUILD_BUG_ON(sizeof(ks_loff_t) != sizeof(loff_t));
	BUILD_BUG_ON(sizeof(ks_size_t) != sizeof(size_t));
	BUILD_BUG_ON(sizeof(ks_ssize_t) != sizeof(ssize_t));

	err = alloc_chrdev_region(&region, 0, 1, name);
	if (err) {
		*failed = "alloc_chrdev_region()";
		return err;
	}
	*dev = region;

	*cdev = ks_cdev_alloc(fops);
	if (!*cdev) {
		*failed = "cdev_alloc()";
		err = -ENOMEM;
		goto fail_region;
	}
	err = cdev_add((*cdev)->cdev, region, 1);
	if (err) {
		*failed = "cdev_add()";
		goto fail_cdev;
	}

	c = ks_class_create(name);
	if (IS_ERR(c)) {
		*failed = "class_create()";
		err = PTR_ERR(c);
		goto fail_cdev;
	}
	*cls = (struct ks_class *)c;

	node = device_create(c, NULL, region, NULL, "%s", name);
	if (IS_ERR(node)) {
		*failed = "device_create()";
		err = PTR_ERR(node);
		goto fail_class;
	}
	return 0;

fail_class:
	class_destroy(c);
	*cls = NULL;
fail_cdev:
	ks_cdev_del(*cdev);
	*cdev = NULL;
fail_region:
	unregister_chrdev_region(region, 1);
	return err;
}

void ks_chrdev_unregister(ks_dev_t dev, struct ks_cdev *cdev, struct ks_class *cls)
{
	device_destroy((struct class *)cls, dev);
	ks_cdev_del(cdev);
	class_destroy((struct class *)cls);
	unregister_chrdev_region(dev, 1);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 6, 0)
#define ks_map_window(phys, size) ioremap(phys, size)
#define ks_unmap_window(base) iounmap(base)
#define ks_load32(addr) readl(addr)
#define ks_store32(value, addr) writel(value, addr)
#else
#define ks_map_window(phys, size) ioremap_nocache(phys, size)
#define ks_unmap_window(base) iounmap(base)
#define ks_load32(addr) readl(addr)
#define ks_store32(value, addr) writel(value, addr)
#endif

volatile unsigned int *ks_ioremap(unsigned long phys, unsigned long size)
{
	return (volatile unsigned int __force *)ks_map_window(phys, size);
}

void ks_iounmap(volatile unsigned int *virt)
{
	if (virt)
		ks_unmap_window((volatile void __iomem __force *)virt);
}

unsigned int ks_readl(const volatile unsigned int *addr)
{
	return ks_load32((const volatile void __iomem __force *)addr);
}

void ks_writel(unsigned int value, volatile unsigned int *addr)
{
	ks_store32(value, (volatile void __iomem __force *)addr);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 0, 0)
#define ks_access_ok(dir, addr, n) access_ok(addr, n)
#else
#define ks_access_ok(dir, addr, n) access_ok(dir, addr, n)
#endif

unsigned long ks_copy_to_user(char *to, const void *from, unsigned long n)
{
	char __user *dst = (char __user __force *)to;

	if (!ks_access_ok(VERIFY_WRITE, dst, n))
		return n;
	return copy_to_user(dst, from, n);
}

/* Whatever is not copied reads as zero, on every kernel version. */
unsigned long ks_copy_from_user(void *to, const char *from, unsigned long n)
{
	const char __user *src = (const char __user __force *)from;
	unsigned long left = n;

	if (ks_access_ok(VERIFY_READ, src, n))
		left = copy_from_user(to, src, n);
	if (left)
		memset((char *)to + (n - left), 0, left);
	return left;
}

void *ks_kzalloc(ks_size_t size)
{
	return kzalloc(size, GFP_KERNEL);
}

void ks_kfree(void *p)
{
	kfree(p);
}

void *ks_file_private(struct ks_file *file)
{
	return ((struct file *)file)->private_data;
}

void ks_set_file_private(struct ks_file *file, void *data)
{
	((struct file *)file)->private_data = data;
}

int ks_printk(const char *fmt, ...)
{
	va_list args;
	int r;

	va_start(args, fmt);
	r = vprintk(fmt, args);
	va_end(args);
	return r;
}

int ks_snprintf(char *buf, ks_size_t size, const char *fmt, ...)
{
	va_list args;
	int r;

	va_start(args, fmt);
	r = vsnprintf(buf, size, fmt, args);
	va_end(args);
	return r;
}

int ks_sscanf(const char *str, const char *fmt, ...)
{
	va_list args;
	int r;

	va_start(args, fmt);
	r = vsscanf(str, fmt, args);
	va_end(args);
	return r;
}

int ks_strcmp(const char *a, const char *b)
{
	return strcmp(a, b);
}

/* Serialises the module's users of its hardware. */
static DEFINE_MUTEX(ks_module_lock);

/* A signal ends the wait; the call is restarted where the handler allows,
 * as for any driver, and fails with EINTR otherwise. */
int ks_lock(void)
{
	return mutex_lock_interruptible(&ks_module_lock) ? -ERESTARTSYS : 0;
}

void ks_unlock(void)
{
	mutex_unlock(&ks_module_lock);
}

void ks_cond_resched(void)
{
	cond_resched();
}

void ks_udelay(unsigned long usecs)
{
	udelay(usecs);
}

unsigned long ks_irq_save(void)
{
	unsigned long flags;

	local_irq_save(flags);
	return flags;
}

void ks_irq_restore(unsigned long flags)
{
	local_irq_restore(flags);
}
