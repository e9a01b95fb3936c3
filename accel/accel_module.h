/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * accel module entry and exit, with C linkage for the module glue.
 */
#ifndef ACCEL_ACCEL_MODULE_H
#define ACCEL_ACCEL_MODULE_H

#ifdef __cplusplus
extern "C" {
#endif

int start_accel(void);
void stop_accel(void);

#ifdef __cplusplus
}
#endif

#endif /* ACCEL_ACCEL_MODULE_H */
