// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Module entry of the accelerometer driver, once per variant: the variant
 * macro (ACCEL_VARIANT_FULL, _CMD or _BASIC) is the one the driver object of
 * the same module is built with.
 */
#include <linux/init.h>
#include <linux/module.h>

#include "accel_module.h"

static int __init accel_module_init(void)
{
	return start_accel();
}

static void __exit accel_module_exit(void)
{
	stop_accel();
}

module_init(accel_module_init);
module_exit(accel_module_exit);

MODULE_LICENSE("GPL");
#if defined(ACCEL_VARIANT_FULL)
MODULE_DESCRIPTION("ADXL345 accelerometer on I2C controller 0 as /dev/accel (full: tap and "
		   "data-ready status, commands)");
#elif defined(ACCEL_VARIANT_CMD)
MODULE_DESCRIPTION("ADXL345 accelerometer on I2C controller 0 as /dev/accel (commands)");
#elif defined(ACCEL_VARIANT_BASIC)
MODULE_DESCRIPTION("ADXL345 accelerometer on I2C controller 0 as /dev/accel (read only)");
#else
#error "define one of ACCEL_VARIANT_FULL, ACCEL_VARIANT_CMD, ACCEL_VARIANT_BASIC"
#endif
