// SPDX-License-Identifier: GPL-2.0-or-later
/* Module entry of the pushbutton and switch driver. */
#include <linux/init.h>
#include <linux/module.h>

#include "panelio.h"

static int __init panelio_module_init(void)
{
	return init_drivers();
}

static void __exit panelio_module_exit(void)
{
	stop_drivers();
}

module_init(panelio_module_init);
module_exit(panelio_module_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Pushbuttons and slide switches behind the lightweight bridge as /dev/KEY "
		   "and /dev/SW");
