// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * fabric_uio: a design in the board's FPGA fabric as a UIO device, for the
 * device-tree node "boardio,fabric" (its registers and, when the design has
 * one, its interrupt line).
 *
 * /dev/uioN maps the design's registers; a read blocks until the next
 * interrupt and returns the 32-bit count of interrupts so far; a write of 1
 * enables the interrupt again, 0 disables it. The line is level-triggered:
 * the handler masks it until user space has served the design (made it
 * drop the line) and written 1.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/module.h>
#include <linux/mod_devicetable.h>
#include <linux/platform_device.h>
#include <linux/spinlock.h>
#include <linux/uio_driver.h>

#define FABRIC_UIO_NAME "fabric"
#define FABRIC_UIO_VERSION "1"

/* Bit of fabric_uio.flags: the line is disabled. */
#define FABRIC_UIO_MASKED 0

struct fabric_uio {
	struct uio_info info;
	spinlock_t lock; /* masks and unmasks the line one at a time */
	unsigned long flags;
};

static irqreturn_t fabric_uio_handler(int irq, struct uio_info *info)
{
	struct fabric_uio *fu = container_of(info, struct fabric_uio, info);

	spin_lock(&fu->lock);
	if (!__test_and_set_bit(FABRIC_UIO_MASKED, &fu->flags))
		disable_irq_nosync(irq);
	spin_unlock(&fu->lock);
	return IRQ_HANDLED;
}

static int fabric_uio_irqcontrol(struct uio_info *info, s32 on)
{
	struct fabric_uio *fu = container_of(info, struct fabric_uio, info);
	unsigned long flags;

	spin_lock_irqsave(&fu->lock, flags);
	if (on) {
		if (__test_and_clear_bit(FABRIC_UIO_MASKED, &fu->flags))
			enable_irq(info->irq);
	} else {
		if (!__test_and_set_bit(FABRIC_UIO_MASKED, &fu->flags))
			disable_irq_nosync(info->irq);
	}
	spin_unlock_irqrestore(&fu->lock, flags);
	return 0;
}

/* The design's interrupt, or none: a design without one still maps. */
static int fabric_uio_irq(struct platform_device *pdev, struct fabric_uio *fu)
{
	int irq = platform_get_irq_optional(pdev, 0);

	if (irq == -ENXIO) {
		fu->info.irq = UIO_IRQ_NONE;
		return 0;
	}
	if (irq < 0)
		return irq;
	fu->info.irq = irq;
	fu->info.handler = fabric_uio_handler;
	fu->info.irqcontrol = fabric_uio_irqcontrol;
	return 0;
}

static int fabric_uio_probe(struct platform_device *pdev)
{
	struct fabric_uio *fu;
	struct resource *res;
	int err;

	fu = devm_kzalloc(&pdev->dev, sizeof(*fu), GFP_KERNEL);
	if (!fu)
		return -ENOMEM;
	res = platform_get_resource(pdev, IORESOURCE_MEM, 0);
	if (!res) {
		dev_err(&pdev->dev, "no register window\n");
		return -EINVAL;
	}
	spin_lock_init(&fu->lock);
	fu->info.name = FABRIC_UIO_NAME;
	fu->info.version = FABRIC_UIO_VERSION;
	fu->info.mem[0].name = "registers";
	fu->info.mem[0].addr = res->start;
	fu->info.mem[0].size = resource_size(res);
	fu->info.mem[0].memtype = UIO_MEM_PHYS;
	err = fabric_uio_irq(pdev, fu);
	if (err)
		return err;
	err = devm_uio_register_device(&pdev->dev, &fu->info);
	if (err) {
		dev_err(&pdev->dev, "UIO registration failed: %d\n", err);
		return err;
	}
	dev_info(&pdev->dev, "%pR, interrupt %ld\n", res, fu->info.irq);
	return 0;
}

/*
 * No MODULE_DEVICE_TABLE: the host's modpost of the cross-build (Debian's
 * amd64 kernel tools) takes ARM's 196-byte of_device_id for a 200-byte one
 * and refuses the table. Nothing loads modules by alias on the board's
 * image anyway: /init loads this one when the machine has a fabric.
 */
static const struct of_device_id fabric_uio_of_match[] = {{.compatible = "boardio,fabric"}, {}};

static struct platform_driver fabric_uio_driver = {
	.probe = fabric_uio_probe,
	.driver =
		{
			.name = "fabric_uio",
			.of_match_table = fabric_uio_of_match,
		},
};
module_platform_driver(fabric_uio_driver);

MODULE_DESCRIPTION("The board's FPGA fabric design as a UIO device");
MODULE_LICENSE("GPL");
