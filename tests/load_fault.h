/* SPDX-License-Identifier: GPL-2.0-or-later */
// The steps of a device's registration (ks_chrdev_register), each made to
// fail as the kernel would fail it, for the load tests of both drivers: a
// driver's message names the call, and the load fails with the error.
#ifndef TESTS_LOAD_FAULT_H
#define TESTS_LOAD_FAULT_H

#include "simkernel.h"

struct LoadFault {
	sim::Step step;
	int err;    // injected
	int result; // of the load
	const char *call;
};

const LoadFault REGISTRATION_FAULTS[] = {
	{sim::Step::alloc_chrdev_region, -EBUSY, -EBUSY, "alloc_chrdev_region()"},
	{sim::Step::cdev_alloc, 0, -ENOMEM, "cdev_alloc()"}, // null from the kernel
	{sim::Step::cdev_add, -EIO, -EIO, "cdev_add()"},
	{sim::Step::class_create, -EEXIST, -EEXIST, "class_create()"},
	{sim::Step::device_create, -ENOMEM, -ENOMEM, "device_create()"},
};

#endif
