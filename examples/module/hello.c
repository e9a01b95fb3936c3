// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * hello: a module of one's own for the virtual board's walk-through. It says
 * hello in the kernel log when loaded, and how long it was loaded when it is
 * removed. Built against the board's kernel tree (README: your own module).
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/jiffies.h>
#include <linux/module.h>

static unsigned long loaded_at;

static int __init hello_init(void)
{
	loaded_at = jiffies;
	pr_info("hello from the board\n");
	return 0;
}

static void __exit hello_exit(void)
{
	pr_info("goodbye after %u ms\n", jiffies_to_msecs(jiffies - loaded_at));
}

module_init(hello_init);
module_exit(hello_exit);
MODULE_DESCRIPTION("A module of one's own, for the virtual board's walk-through");
MODULE_LICENSE("GPL");
