/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * panelio module entry and exit, with C linkage for the module glue.
 */
#ifndef PANELIO_PANELIO_H
#define PANELIO_PANELIO_H

#ifdef __cplusplus
extern "C" {
#endif

int init_drivers(void);
void stop_drivers(void);

#ifdef __cplusplus
}
#endif

#endif /* PANELIO_PANELIO_H */
