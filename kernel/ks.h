/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Kernel services used by the drivers.
 *
 * The drivers are C++ and cannot include kernel headers, so everything they
 * need from the kernel is declared here with C linkage and plain C types.
 * Two implementations exist:
 *   kernel/linux/  thin wrappers over the real kernel API (built by Kbuild)
 *   kernel/host/   a simulated kernel for host tests
 *
 * The header must stay valid C89/C++11 with no library includes, so that it
 * can be compiled freestanding and next to <linux/...> headers.
 */
#ifndef KS_H
#define KS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int ks_dev_t; /* major:minor, as the kernel's dev_t */
typedef long long ks_loff_t;   /* file position */
typedef __SIZE_TYPE__ ks_size_t;
typedef __PTRDIFF_TYPE__ ks_ssize_t; /* same width as the kernel's ssize_t */

struct ks_cdev;
struct ks_class;
struct ks_inode;
struct ks_file;

/* Log levels, the kernel's KERN_ERR, KERN_WARNING and KERN_INFO prefixes. */
#define KS_ERR "\0013"
#define KS_WARNING "\0014"
#define KS_INFO "\0016"

/* Kernel error numbers returned by the drivers (generic Linux values). */
#ifndef EINTR
#define EINTR 4
#endif
#ifndef EIO
#define EIO 5
#endif
#ifndef ENOMEM
#define ENOMEM 12
#endif
#ifndef EFAULT
#define EFAULT 14
#endif
#ifndef EBUSY
#define EBUSY 16
#endif
#ifndef ENODEV
#define ENODEV 19
#endif
#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef ETIMEDOUT
#define ETIMEDOUT 110
#endif

/*
 * Operations of a character device. The implementation binds them to a
 * real file-operations table whose owner is the calling module.
 * A null entry means the operation is not offered (for write: the kernel
 * refuses writes with -EINVAL).
 */
struct ks_fops {
	int (*open)(struct ks_inode *inode, struct ks_file *file);
	int (*release)(struct ks_inode *inode, struct ks_file *file);
	ks_ssize_t (*read)(struct ks_file *file, char *buf, ks_size_t length, ks_loff_t *offset);
	ks_ssize_t (*write)(struct ks_file *file, const char *buf, ks_size_t length,
			    ks_loff_t *offset);
};

/*
 * A character device and its node /dev/<name>, registered in one step: the
 * device-number region (one minor, major chosen by the kernel), the device
 * object bound to fops (owner: the calling module), the class and the node,
 * in this order. Returns 0, or the error of the step that failed after
 * releasing what the steps before it acquired; *failed then names that
 * step's kernel call, "alloc_chrdev_region()", "cdev_alloc()" (-ENOMEM),
 * "cdev_add()", "class_create()" or "device_create()", for the driver's
 * message.
 */
int ks_chrdev_register(const char *name, const struct ks_fops *fops, ks_dev_t *dev,
		       struct ks_cdev **cdev, struct ks_class **cls, const char **failed);
/* Removes a registered device: node, device object, class and region. */
void ks_chrdev_unregister(ks_dev_t dev, struct ks_cdev *cdev, struct ks_class *cls);

/* Uncached mapping of a physical register window; 0 on failure. */
volatile unsigned int *ks_ioremap(unsigned long phys, unsigned long size);
void ks_iounmap(volatile unsigned int *virt);

/* 32-bit register load and store, in program order. */
unsigned int ks_readl(const volatile unsigned int *addr);
void ks_writel(unsigned int value, volatile unsigned int *addr);

/* Copies across the user boundary, address check included.
 * Return the number of bytes NOT copied; a failed copy_from_user leaves the
 * uncopied destination bytes zero. */
unsigned long ks_copy_to_user(char *to, const void *from, unsigned long n);
unsigned long ks_copy_from_user(void *to, const char *from, unsigned long n);

/* Memory for per-open-file state, zeroed (the kernel's kzalloc with
 * GFP_KERNEL); 0 when out of memory. ks_kfree(0) does nothing. */
void *ks_kzalloc(ks_size_t size);
void ks_kfree(void *p);

/* The open file's private-data slot: 0 until set. */
void *ks_file_private(struct ks_file *file);
void ks_set_file_private(struct ks_file *file, void *data);

/* Kernel log; fmt starts with a KS_ level. */
int ks_printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Kernel string routines. */
int ks_snprintf(char *buf, ks_size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
int ks_sscanf(const char *str, const char *fmt, ...) __attribute__((format(scanf, 2, 3)));
int ks_strcmp(const char *a, const char *b);

/* The calling module's one lock (a sleeping mutex). ks_lock returns 0, or a
 * negative error the caller returns unchanged when a signal interrupted the
 * wait: -EINTR in the simulated kernel, -ERESTARTSYS on Linux (restarted or
 * EINTR, as the signal's handler asks). */
int ks_lock(void);
void ks_unlock(void);

/* A section that nothing interrupts on this processor: local interrupts off,
 * and with them preemption. For the few stores of one bus access, a few
 * microseconds; nothing inside may sleep or call another service. Pass the
 * result of ks_irq_save to the matching ks_irq_restore. */
unsigned long ks_irq_save(void);
void ks_irq_restore(unsigned long flags);

/* Busy-waits at least usecs microseconds (the kernel's udelay; board time
 * in the simulated kernel). For the short settling times hardware asks for,
 * a few tens of microseconds: it does not sleep. */
void ks_udelay(unsigned long usecs);

/* Lets other tasks run during a long busy poll (the kernel's cond_resched):
 * without it a poll of most of a second stalls a processor of a kernel that
 * does not preempt. Does not sleep unless the scheduler wants the CPU. */
void ks_cond_resched(void);

#ifdef __cplusplus
}
#endif

#endif /* KS_H */
