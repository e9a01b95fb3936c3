/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The virtual board's control page: where the guest meets the outside
 * world. The machine (control.c) serves it; the guest's programs map it
 * through /dev/mem (the guest's board tool, vboard/guest/programs/board.c,
 * among them). Free in virt's map: after the virtio-mmio transports
 * (0x0A000000 + 32 * 0x200), before the platform bus (0x0C000000).
 */
#ifndef VBOARD_CONTROL_PAGE_H
#define VBOARD_CONTROL_PAGE_H

#define VBOARD_CONTROL_BASE 0x0B000000
#define VBOARD_CONTROL_SIZE 0x1000

#define CTL_ID 0x00		/* reads CTL_ID_VALUE */
#define CTL_COMMAND 0x04	/* write N: run the first N bytes of CTL_LINE */
#define CTL_STATUS 0x08		/* CTL_STATUS_OK, or CTL_STATUS_REFUSED */
#define CTL_MODULES 0x0C	/* write a CTL_MODULES_* operation; reads tables made */
#define CTL_ACCEL 0x10		/* X, Y, Z: the sensor's true acceleration, milli-g */
#define CTL_MAILBOX_SIZE 0x1C	/* bytes of work in the mailbox, 0 while none */
#define CTL_HOST_SEC 0x20	/* the host's time, seconds; a read latches ... */
#define CTL_HOST_NSEC 0x24	/* ... its nanoseconds, read here */
#define CTL_SENSOR 0x100	/* sensor register n at CTL_SENSOR + 4 n */
#define CTL_LINE 0x200		/* a board tool command line, 4 bytes a word */
#define CTL_MESSAGE 0x300	/* why the last one was refused, NUL-terminated */
#define CTL_MODULE_LINE 0x400	/* a line of the module table, NUL-terminated */
#define CTL_REGS 0x600		/* the sensor registers as the board tools show them: */
#define CTL_REGS_SIZE 0x200	/* "NAME 0xHH" lines, NUL-terminated, read from the start */
#define CTL_ID_VALUE 0x76626432 /* "vbd2" */
#define CTL_TEXT_SIZE 0x100
#define CTL_STATUS_OK 0
#define CTL_STATUS_REFUSED 1

/*
 * The module table: where the guest's kernel loaded each section of each
 * module, for a debugger on the host (vboard/debug). The guest writes it
 * whole after every change (vboard/guest/programs/modsections.c): begin, a
 * line at a time ("NAME build-id HEX", "NAME SECTION 0xADDRESS"), then
 * commit, which makes it the table the machine shows (the read-only
 * property modules). CTL_MODULES reads the tables committed since the
 * machine's reset, so that a guest can wait for its own.
 */
#define CTL_MODULES_BEGIN 1
#define CTL_MODULES_ADD 2 /* the line at CTL_MODULE_LINE */
#define CTL_MODULES_COMMIT 3
#define CTL_MODULES_MAX (64 * 1024) /* bytes of a table, at most */

/*
 * The mailbox: the work of one run (a cpio archive: its configuration, its
 * script, its files), which the machine copies from the file its mailbox
 * property names. Plain memory, not part of the saved machine, so that a
 * machine restored from a saved one finds the work of the run that restored
 * it; the guest copies it out and unpacks it.
 */
#define VBOARD_MAILBOX_BASE 0x0B100000
#define VBOARD_MAILBOX_SIZE 0x00F00000

#endif
