/* SPDX-License-Identifier: GPL-2.0-or-later */
// Simulated kernel for host tests: implements every service of kernel/ks.h
// and lets a test act as the module loader, as a process using the device
// nodes, and as the person at the board.
//
//   sim::reset();                          // fresh kernel, board at power-on
//   const sim::Module accel{"accel", start_accel, stop_accel};
//   ASSERT_EQ(sim::insmod(accel), 0);      // runs the module's init
//   int fd = sim::open("/dev/accel");      // fd, or -ENOENT / -ENXIO / ...
//   char buf[64];
//   ssize_t n = sim::read(fd, buf, sizeof(buf));   // also pread, write, lseek
//   sim::close(fd);
//   EXPECT_EQ(sim::rmmod(accel), 0);       // -EBUSY while a node is open
//   EXPECT_EQ(sim::held(), "");            // nothing left registered or mapped
//   EXPECT_EQ(sim::problems(), std::vector<std::string>{});
//
// Board: sim::with_board([](models::Board &b) { models::sensor_tap(&b, false); })
// runs under the lock that ks_readl/ks_writel take, so it is safe while other
// threads use the nodes; sim::board() is the same board without the lock.
//
// Machine: sim::set_machine({models::I2C_QUEUE_END_STOP, 100000}) runs every
// later test on a controller that sends a stop when its queue runs empty,
// with 100 us of board time passing after each store of a driver, as an
// interrupt or a preemption would take; kept across reset(). A test may
// pause at chosen stores only with sim::set_store_pause(ns, filter). Inside
// a ks_irq_save section nothing interrupts: the pause waits for the restore.
//
// Faults: sim::fail_next(sim::Step::cdev_add, -ENOMEM) makes the next
// cdev_add fail; nth = 2 the second one from now (e.g. the second ioremap).
// sim::poison(p, n) makes user copies to or from [p, p + n) stop at its
// first byte (copy_from_user zero-fills what it could not copy).
//
// Records: sim::log() is the kernel log with levels; sim::trace() every
// register load and store with the board time and the calling thread;
// sim::calls() the kernel services called, in order; sim::problems() misuse
// the kernel would punish (leaks after unload or after a failed load,
// unknown handles, accesses outside a mapped window, a lock left held).
#ifndef KERNEL_HOST_SIMKERNEL_H
#define KERNEL_HOST_SIMKERNEL_H

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "models/board.h"
#include "ks.h"

namespace sim {

struct Module {
	const char *name;
	int (*init)(void);
	void (*exit)(void);
};

// Forgets every module, registration, file, fault, record and poisoned
// range, and resets the board to power-on state.
void reset();

// Module loader. insmod returns the init result (-EEXIST when loaded);
// rmmod returns 0, -ENOENT when not loaded, -EBUSY while a file is open.
int insmod(const Module &m);
int rmmod(const Module &m);
bool loaded(const Module &m);
// Runs fn as code of the module (its ks_lock, its ownership of what fn
// registers), for tests that call driver functions directly. Driver code
// called without it runs outside every module, with a lock of its own.
void in_module(const Module &m, const std::function<void()> &fn);
// How often, since the last reset(), a ks_lock of the module found the lock
// held and waited: evidence that callers really met there.
unsigned lock_waits(const Module &m);

// Process side. Flags as open(2): O_RDONLY, O_WRONLY or O_RDWR.
int open(const char *path, int flags = O_RDWR);
ssize_t read(int fd, void *buf, size_t n);
ssize_t pread(int fd, void *buf, size_t n, int64_t pos);
ssize_t write(int fd, const void *buf, size_t n);
int64_t lseek(int fd, int64_t offset, int whence);
int close(int fd);
int64_t position(int fd); // the file position, as the kernel keeps it

// The machine the tests run on, kept across reset(): the controller's
// end-of-queue behaviour, and board time let pass after each store a driver
// makes (0: none), as interrupts and preemption would.
struct Access;
struct Machine {
	models::I2cQueueEnd queue_end;
	uint64_t store_pause_ns;
};
void set_machine(const Machine &m);
Machine machine();
// Until the next reset(): a pause of ns after the stores the filter picks
// (every store when it is empty). A store inside an interrupts-off section
// takes its pause when the section ends.
void set_store_pause(uint64_t ns, std::function<bool(const Access &)> filter = nullptr);
// Until the next reset(): whether polls of the I2C controller skip the board
// time in which nothing there can change (on by default). Off, every poll
// costs its 100 ns, for tests of a wait whose answer comes after the
// driver's poll budget, or that need a wait to last in real time.
void set_idle_skip(bool on);

// The board behind the mapped windows.
models::Board &board();
void with_board(const std::function<void(models::Board &)> &fn);

// Fault injection: the nth next call of the step fails with err (steps that
// return a pointer return null instead; lock returns -EINTR).
enum class Step {
	alloc_chrdev_region,
	class_create,
	cdev_alloc,
	cdev_add,
	device_create,
	ioremap,
	kzalloc,
	lock,
};
void fail_next(Step step, int err = -ENOMEM, unsigned nth = 1);

// User memory whose copies fail.
void poison(const void *p, size_t n);
void unpoison();

struct LogLine {
	int level; // 0..7 from the "\001N" prefix; 4 when there is none
	std::string text;
};
std::vector<LogLine> log();
void clear_log();

struct Access {
	bool store;
	uint32_t phys; // physical address of the word
	uint32_t value;
	uint64_t board_ns; // board time before the access
	int thread;	   // small number per calling thread, from 1
};
std::vector<Access> trace();
size_t trace_size();
void clear_trace();

std::vector<std::string> calls();
// Called at each kernel service call (name as in calls()), outside the
// simulator's locks; lets a test look at the board at that moment.
void set_call_hook(std::function<void(const std::string &call)> hook);

// Everything registered or mapped ("" when nothing), one item per line.
std::string held();
std::vector<std::string> problems();

} // namespace sim

#endif
