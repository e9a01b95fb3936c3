/*
 * Register bus of the virtual board.
 *
 * Drivers built with KS_VBOARD defined reach their register windows through
 * these functions instead of ioremap()/readl()/writel(); the board-model
 * module implements them (EXPORT_SYMBOL_GPL) with device models behind the
 * physical addresses of the real windows. Nothing else in the drivers
 * differs between the two builds.
 *
 * vboard_ioremap() returns a base for the window [phys, phys + size), or
 * NULL when no model is there. The driver only adds byte offsets below size
 * to the base (32-bit aligned) and passes the result to vboard_readl() and
 * vboard_writel(), which act on the model's register at that offset, in
 * program order; the base is never dereferenced.
 */
#ifndef VBOARD_BUS_H
#define VBOARD_BUS_H

#include <linux/compiler.h>
#include <linux/types.h>

void __iomem *vboard_ioremap(unsigned long phys, unsigned long size);
void vboard_iounmap(volatile void __iomem *base);
u32 vboard_readl(const volatile void __iomem *addr);
void vboard_writel(u32 value, volatile void __iomem *addr);

#endif /* VBOARD_BUS_H */
