// SPDX-License-Identifier: GPL-2.0-or-later
// The kernel services of ks.h on the host: registrations are kept in tables,
// register windows are mapped onto a models::Board, files are opened and read
// the way the kernel's character-device layer does it.
//
// Lock order: g_mutex (tables, files, faults) before g_board_mutex (board,
// mappings, trace); the record mutexes (log, calls, problems, user memory)
// are leaves, never held while another lock is taken.
#include "simkernel.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct ModuleState {
	std::string name;
	bool loaded = false;
	bool going = false; // exit routine running
	int refs = 0;	    // open files
	std::mutex lock;    // ks_lock
	std::atomic<int> lock_holder{0};
};

} // namespace

struct ks_cdev {
	const ks_fops *fops;
	ModuleState *owner;
	bool added;
	ks_dev_t dev;
	unsigned count;
};

struct ks_class {
	std::string name;
	ModuleState *owner;
};

struct ks_inode {
	ks_dev_t rdev;
};

struct ks_file {
	ks_inode inode;
	const ks_fops *fops;
	ModuleState *owner;
	int flags;
	std::atomic<ks_loff_t> pos{0};
	void *private_data = nullptr;
};

namespace {

const unsigned MINOR_BITS = 20; // the kernel's dev_t: 12-bit major, 20-bit minor
const size_t TRACE_LIMIT = 1u << 20;

unsigned dev_major(ks_dev_t dev)
{
	return dev >> MINOR_BITS;
}

unsigned dev_minor(ks_dev_t dev)
{
	return dev & ((1u << MINOR_BITS) - 1);
}

struct Region {
	unsigned major, baseminor, count;
	std::string name;
	ModuleState *owner;
};

struct Node {
	std::string path;
	ks_dev_t dev;
	ks_class *cls;
	ModuleState *owner;
};

struct Mapping {
	void *base;
	size_t len;
	uint32_t phys, size;
	ModuleState *owner;
};

struct Allocation {
	size_t size;
	ModuleState *owner;
};

struct Fault {
	unsigned countdown = 0;
	int err = 0;
};

std::recursive_mutex g_mutex;
std::map<std::string, std::unique_ptr<ModuleState>> g_modules;
ModuleState g_no_module; // callers outside any module (tests calling in directly)
std::vector<Region> g_regions;
std::vector<ks_cdev *> g_cdevs;
std::vector<ks_class *> g_classes;
std::vector<Node> g_nodes;
std::map<void *, Allocation> g_allocations;
std::map<int, std::shared_ptr<ks_file>> g_files;
int g_next_fd = 3;
Fault g_faults[static_cast<int>(sim::Step::lock) + 1];
std::function<void(const std::string &)> g_hook;

std::mutex g_board_mutex;
models::Board g_board;
std::vector<Mapping> g_mappings;
std::vector<sim::Access> g_trace;
size_t g_trace_total;

std::mutex g_user_mutex;
std::vector<std::pair<uintptr_t, uintptr_t>> g_poisoned;

std::mutex g_record_mutex;
std::vector<sim::LogLine> g_log;
std::vector<std::string> g_calls;
std::vector<std::string> g_problems;

std::atomic<int> g_next_thread{1};
thread_local ModuleState *t_module;

// Pauses after stores (under g_board_mutex).
sim::Machine g_machine = {models::I2C_QUEUE_END_HOLD, 0};
uint64_t g_pause_ns;
bool g_idle_skip = true;
std::function<bool(const sim::Access &)> g_pause_filter;

// Interrupts-off sections of the calling thread, and a pause held back
// until the outermost one ends.
thread_local int t_irq_depth;
thread_local bool t_pause_pending;

struct BoardInit {
	BoardInit()
	{
		models::board_reset(&g_board);
	}
} g_board_init;

int thread_no()
{
	thread_local int n = g_next_thread++;
	return n;
}

// Runs module code with the module as the caller of kernel services.
class InModule {
public:
	explicit InModule(ModuleState *m) : saved_(t_module)
	{
		t_module = m;
	}
	~InModule()
	{
		t_module = saved_;
	}

private:
	ModuleState *saved_;
};

// Needs g_mutex.
ModuleState *module_state(const char *name)
{
	std::unique_ptr<ModuleState> &slot = g_modules[name];
	if (!slot) {
		slot.reset(new ModuleState);
		slot->name = name;
	}
	return slot.get();
}

ModuleState *current()
{
	return t_module ? t_module : &g_no_module;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
	char buf[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	return buf;
}

void problem(const std::string &what)
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_problems.push_back(what);
}

void call(const std::string &what)
{
	std::function<void(const std::string &)> hook;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		hook = g_hook;
	}
	{
		std::lock_guard<std::mutex> g(g_record_mutex);
		g_calls.push_back(what);
	}
	if (hook)
		hook(what);
}

bool take_fault(sim::Step step, int *err)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	Fault &f = g_faults[static_cast<int>(step)];
	if (!f.countdown || --f.countdown)
		return false;
	*err = f.err;
	return true;
}

template <typename T> bool contains(const std::vector<T *> &v, const T *p)
{
	for (const T *q : v)
		if (q == p)
			return true;
	return false;
}

template <typename T> void erase(std::vector<T *> &v, const T *p)
{
	for (auto it = v.begin(); it != v.end(); ++it)
		if (*it == p) {
			v.erase(it);
			return;
		}
}

// What the module (or, for null, anyone) holds; needs g_mutex.
std::vector<std::string> holdings(const ModuleState *m)
{
	std::vector<std::string> out;
	auto mine = [m](const ModuleState *owner) { return !m || owner == m; };
	for (const Region &r : g_regions)
		if (mine(r.owner))
			out.push_back(format("region %u:%u+%u %s", r.major, r.baseminor, r.count,
					     r.name.c_str()));
	for (const ks_cdev *c : g_cdevs)
		if (mine(c->owner))
			out.push_back(c->added ? format("cdev %u:%u", dev_major(c->dev),
							dev_minor(c->dev))
					       : std::string("cdev (not added)"));
	for (const ks_class *c : g_classes)
		if (mine(c->owner))
			out.push_back("class " + c->name);
	for (const Node &n : g_nodes)
		if (mine(n.owner))
			out.push_back("node " + n.path);
	for (const auto &f : g_files)
		if (mine(f.second->owner))
			out.push_back(format("open file %d", f.first));
	for (const auto &a : g_allocations)
		if (mine(a.second.owner))
			out.push_back(format("allocation of %zu bytes", a.second.size));
	std::lock_guard<std::mutex> b(g_board_mutex);
	for (const Mapping &w : g_mappings)
		if (mine(w.owner))
			out.push_back(format("mapping 0x%08X+0x%X", w.phys, w.size));
	return out;
}

void report_leaks(ModuleState *m, const char *when)
{
	std::vector<std::string> left;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		left = holdings(m);
	}
	for (const std::string &what : left)
		problem(m->name + ": " + when + ": still holds " + what);
}

// A service that may sleep, called with interrupts off.
void check_may_sleep(const char *service)
{
	if (t_irq_depth)
		problem(std::string(service) + " inside an interrupts-off section");
}

void check_lock_released(ModuleState *m, const char *where)
{
	if (t_irq_depth) {
		problem(m->name + ": " + where + " returned with interrupts off");
		t_irq_depth = 0;
	}
	if (m->lock_holder == thread_no())
		problem(m->name + ": " + where + " returned with the module lock held");
}

// Length of the accessible start of the user range [p, p + n).
size_t accessible(const void *p, size_t n)
{
	if (!p)
		return 0;
	uintptr_t begin = reinterpret_cast<uintptr_t>(p), end = begin + n;
	size_t ok = n;
	std::lock_guard<std::mutex> g(g_user_mutex);
	for (const auto &r : g_poisoned)
		if (r.first < end && r.second > begin)
			ok = std::min<size_t>(ok, r.first > begin ? r.first - begin : 0);
	return ok;
}

std::shared_ptr<ks_file> file_of(int fd)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	auto it = g_files.find(fd);
	return it == g_files.end() ? nullptr : it->second;
}

// The loads of the calling thread since its last store: a poll loop reads
// a few status registers over and over without storing anything.
struct RecentLoads {
	static const unsigned SLOTS = 4;
	unsigned count;
	uint32_t phys[SLOTS], value[SLOTS];
};
thread_local RecentLoads t_recent_loads;

// Records the load; true when it repeats, since the thread's last store, an
// earlier load of the same register with the same value.
bool repeats_recent_load(uint32_t phys, uint32_t value)
{
	RecentLoads &r = t_recent_loads;
	for (unsigned i = 0; i < r.count; i++)
		if (r.phys[i] == phys) {
			bool same = r.value[i] == value;
			r.value[i] = value;
			return same;
		}
	unsigned slot = r.count < RecentLoads::SLOTS ? r.count++ : phys % RecentLoads::SLOTS;
	r.phys[slot] = phys;
	r.value[slot] = value;
	return false;
}

// A load of an I2C controller register that repeats an earlier one is a
// poll. Nothing in that window can read differently before the controller's
// next event, so the board clock jumps to just before it, as an emulator's
// clock warps while its processor idles: the driver sees the same values,
// in fewer polls. With no event pending (a controller that waits for
// software) the clock is left alone, so a bounded wait for something that
// never comes takes as many polls and as much board time as ever. Needs
// g_board_mutex.
void skip_idle_polls(uint32_t phys, uint32_t value)
{
	bool poll = repeats_recent_load(phys, value);
	if (!g_idle_skip || !poll || phys < models::I2C0_BASE ||
	    phys - models::I2C0_BASE >= models::I2C0_SPAN)
		return;
	uint64_t next = models::i2c0_next_event_ns(&g_board);
	if (next != UINT64_MAX && next > g_board.now_ns + models::BOARD_ACCESS_NS)
		models::board_sync(&g_board, next - models::BOARD_ACCESS_NS);
}

const Mapping *mapping_of(const volatile unsigned int *addr, uint32_t *offset)
{
	uintptr_t a = reinterpret_cast<uintptr_t>(addr);
	for (const Mapping &w : g_mappings) {
		uintptr_t base = reinterpret_cast<uintptr_t>(w.base);
		if (a >= base && a < base + w.size) {
			*offset = static_cast<uint32_t>(a - base);
			return &w;
		}
	}
	return nullptr;
}

} // namespace

// ---- kernel services ------------------------------------------------------

namespace {

// The kernel calls the registration is made of, each recorded and open to
// fault injection.
int alloc_chrdev_region(ks_dev_t *dev, unsigned int baseminor, unsigned int count, const char *name)
{
	call(std::string("alloc_chrdev_region ") + name);
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	int err;
	if (take_fault(sim::Step::alloc_chrdev_region, &err))
		return err;
	// Dynamic majors are handed out from the top down, as the kernel does.
	for (unsigned major = 254; major > 0; major--) {
		bool used = false;
		for (const Region &r : g_regions)
			used = used || r.major == major;
		if (used)
			continue;
		g_regions.push_back(Region{major, baseminor, count, name, current()});
		*dev = major << MINOR_BITS | baseminor;
		return 0;
	}
	return -EBUSY;
}

void unregister_chrdev_region(ks_dev_t dev, unsigned int count)
{
	call("unregister_chrdev_region");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	for (auto it = g_regions.begin(); it != g_regions.end(); ++it)
		if (it->major == dev_major(dev) && it->baseminor == dev_minor(dev) &&
		    it->count == count) {
			g_regions.erase(it);
			return;
		}
	problem(format("unregister_chrdev_region of %u:%u+%u, not registered", dev_major(dev),
		       dev_minor(dev), count));
}

ks_cdev *cdev_alloc(const ks_fops *fops)
{
	call("cdev_alloc");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	int err;
	if (take_fault(sim::Step::cdev_alloc, &err))
		return nullptr;
	ks_cdev *c = new ks_cdev{fops, current(), false, 0, 0};
	g_cdevs.push_back(c);
	return c;
}

int cdev_add(ks_cdev *cdev, ks_dev_t dev, unsigned int count)
{
	call("cdev_add");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	int err;
	if (take_fault(sim::Step::cdev_add, &err))
		return err;
	if (!contains(g_cdevs, cdev)) {
		problem("cdev_add of an object not allocated");
		return -EINVAL;
	}
	if (cdev->added) {
		problem("cdev_add of an object already added");
		return -EBUSY;
	}
	cdev->added = true;
	cdev->dev = dev;
	cdev->count = count;
	return 0;
}

void cdev_del(ks_cdev *cdev)
{
	call("cdev_del");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	if (!contains(g_cdevs, cdev)) {
		problem("cdev_del of an object not allocated");
		return;
	}
	erase(g_cdevs, cdev);
	delete cdev;
}

int class_create(ks_class **cls, const char *name)
{
	call(std::string("class_create ") + name);
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	int err;
	if (take_fault(sim::Step::class_create, &err))
		return err;
	for (const ks_class *c : g_classes)
		if (c->name == name)
			return -EEXIST;
	*cls = new ks_class{name, current()};
	g_classes.push_back(*cls);
	return 0;
}

void class_destroy(ks_class *cls)
{
	call("class_destroy");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	if (!contains(g_classes, cls)) {
		problem("class_destroy of a class not created");
		return;
	}
	for (const Node &n : g_nodes)
		if (n.cls == cls)
			problem("class_destroy while " + n.path + " exists");
	erase(g_classes, cls);
	delete cls;
}

int device_create(ks_class *cls, ks_dev_t dev, const char *name)
{
	call(std::string("device_create ") + name);
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	int err;
	if (take_fault(sim::Step::device_create, &err))
		return err;
	if (!contains(g_classes, cls)) {
		problem(std::string("device_create of ") + name + " in a class not created");
		return -EINVAL;
	}
	std::string path = std::string("/dev/") + name;
	for (const Node &n : g_nodes)
		if (n.path == path)
			return -EEXIST;
	g_nodes.push_back(Node{path, dev, cls, current()});
	return 0;
}

void device_destroy(ks_class *cls, ks_dev_t dev)
{
	call("device_destroy");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	for (auto it = g_nodes.begin(); it != g_nodes.end(); ++it)
		if (it->cls == cls && it->dev == dev) {
			g_nodes.erase(it);
			return;
		}
	problem(format("device_destroy of %u:%u, no such node", dev_major(dev), dev_minor(dev)));
}

} // namespace

extern "C" {

// The same steps and unwind as the Linux implementation.
int ks_chrdev_register(const char *name, const struct ks_fops *fops, ks_dev_t *dev,
		       struct ks_cdev **cdev, struct ks_class **cls, const char **failed)
{
	int err = alloc_chrdev_region(dev, 0, 1, name);
	if (err) {
		*failed = "alloc_chrdev_region()";
		return err;
	}
	*cdev = cdev_alloc(fops);
	if (!*cdev) {
		*failed = "cdev_alloc()";
		err = -ENOMEM;
		goto fail_region;
	}
	err = cdev_add(*cdev, *dev, 1);
	if (err) {
		*failed = "cdev_add()";
		goto fail_cdev;
	}
	err = class_create(cls, name);
	if (err) {
		*failed = "class_create()";
		goto fail_cdev;
	}
	err = device_create(*cls, *dev, name);
	if (err) {
		*failed = "device_create()";
		goto fail_class;
	}
	return 0;

fail_class:
	class_destroy(*cls);
	*cls = nullptr;
fail_cdev:
	cdev_del(*cdev);
	*cdev = nullptr;
fail_region:
	unregister_chrdev_region(*dev, 1);
	return err;
}

void ks_chrdev_unregister(ks_dev_t dev, struct ks_cdev *cdev, struct ks_class *cls)
{
	device_destroy(cls, dev);
	cdev_del(cdev);
	class_destroy(cls);
	unregister_chrdev_region(dev, 1);
}

volatile unsigned int *ks_ioremap(unsigned long phys, unsigned long size)
{
	call(format("ioremap 0x%08lX 0x%lX", phys, size));
	int err;
	if (take_fault(sim::Step::ioremap, &err))
		return nullptr;
	if (!models::board_has_window(static_cast<uint32_t>(phys), static_cast<uint32_t>(size))) {
		problem(format("ioremap of 0x%08lX+0x%lX, not a window of the board", phys, size));
		return nullptr;
	}
	// The token address is inaccessible memory, so a driver that bypassed
	// ks_readl/ks_writel would crash instead of silently working.
	size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	size_t len = (size + page - 1) / page * page;
	void *base = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (base == MAP_FAILED)
		return nullptr;
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_mappings.push_back(Mapping{base, len, static_cast<uint32_t>(phys),
				     static_cast<uint32_t>(size), current()});
	return static_cast<volatile unsigned int *>(base);
}

void ks_iounmap(volatile unsigned int *virt)
{
	bool found = false;
	uint32_t phys = 0;
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		for (auto it = g_mappings.begin(); it != g_mappings.end(); ++it)
			if (it->base == virt) {
				found = true;
				phys = it->phys;
				munmap(it->base, it->len);
				g_mappings.erase(it);
				break;
			}
	}
	if (!found) {
		call("iounmap");
		problem("iounmap of an address not mapped");
		return;
	}
	call(format("iounmap 0x%08X", phys));
}

// Both record the access and pass it to the board, under the board lock.
unsigned int ks_readl(const volatile unsigned int *addr)
{
	uint32_t offset;
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		const Mapping *w = mapping_of(addr, &offset);
		if (w && offset % 4 == 0) {
			uint32_t phys = w->phys + offset;
			uint64_t before = g_board.now_ns;
			uint32_t value = models::board_read32(&g_board, phys);
			if (g_trace_total++ < TRACE_LIMIT)
				g_trace.push_back(
					sim::Access{false, phys, value, before, thread_no()});
			skip_idle_polls(phys, value);
			return value;
		}
	}
	problem(format("readl at %p, outside every mapped window or unaligned",
		       const_cast<const void *>(static_cast<const volatile void *>(addr))));
	return 0;
}

void ks_writel(unsigned int value, volatile unsigned int *addr)
{
	uint32_t offset;
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		const Mapping *w = mapping_of(addr, &offset);
		if (w && offset % 4 == 0) {
			uint32_t phys = w->phys + offset;
			t_recent_loads.count = 0;
			sim::Access a{true, phys, value, g_board.now_ns, thread_no()};
			if (g_trace_total++ < TRACE_LIMIT)
				g_trace.push_back(a);
			models::board_write32(&g_board, phys, value);
			if (g_pause_ns && (!g_pause_filter || g_pause_filter(a))) {
				if (t_irq_depth)
					t_pause_pending = true;
				else
					models::board_advance(&g_board, g_pause_ns);
			}
			return;
		}
	}
	problem(format("writel at %p, outside every mapped window or unaligned",
		       const_cast<const void *>(static_cast<volatile void *>(addr))));
}

unsigned long ks_copy_to_user(char *to, const void *from, unsigned long n)
{
	check_may_sleep("copy_to_user");
	size_t ok = accessible(to, n);
	if (ok) // to may be null when nothing is accessible
		memcpy(to, from, ok);
	return n - ok;
}

unsigned long ks_copy_from_user(void *to, const char *from, unsigned long n)
{
	check_may_sleep("copy_from_user");
	size_t ok = accessible(from, n);
	if (ok) // from may be null when nothing is accessible
		memcpy(to, from, ok);
	memset(static_cast<char *>(to) + ok, 0, n - ok);
	return n - ok;
}

void *ks_kzalloc(ks_size_t size)
{
	call(format("kzalloc %zu", static_cast<size_t>(size)));
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	int err;
	if (take_fault(sim::Step::kzalloc, &err))
		return nullptr;
	void *p = calloc(1, size ? size : 1);
	if (p)
		g_allocations[p] = Allocation{size, current()};
	return p;
}

void ks_kfree(void *p)
{
	if (!p)
		return;
	call("kfree");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	if (!g_allocations.erase(p)) {
		problem("kfree of memory not allocated");
		return;
	}
	free(p);
}

void *ks_file_private(struct ks_file *file)
{
	return file->private_data;
}

void ks_set_file_private(struct ks_file *file, void *data)
{
	file->private_data = data;
}

int ks_printk(const char *fmt, ...)
{
	char buf[1024]; // the kernel's line limit
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);

	sim::LogLine line{4, buf};
	if (buf[0] == '\001' && buf[1] >= '0' && buf[1] <= '7') {
		line.level = buf[1] - '0';
		line.text = buf + 2;
	}
	if (getenv("SIMKERNEL_LOG"))
		fprintf(stderr, "<%d>%s", line.level, line.text.c_str());
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_log.push_back(line);
	return n;
}

int ks_snprintf(char *buf, ks_size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	return n;
}

int ks_sscanf(const char *str, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vsscanf(str, fmt, ap);
	va_end(ap);
	return n;
}

int ks_strcmp(const char *a, const char *b)
{
	return strcmp(a, b);
}

int ks_lock(void)
{
	ModuleState *m = current();
	int err;
	check_may_sleep("ks_lock");
	if (take_fault(sim::Step::lock, &err))
		return -EINTR;
	m->lock.lock();
	m->lock_holder = thread_no();
	return 0;
}

void ks_unlock(void)
{
	ModuleState *m = current();
	if (m->lock_holder != thread_no()) {
		problem(m->name + ": ks_unlock without holding the lock");
		return;
	}
	m->lock_holder = 0;
	m->lock.unlock();
}

void ks_cond_resched(void)
{
	check_may_sleep("ks_cond_resched");
	std::this_thread::yield();
}

void ks_udelay(unsigned long usecs)
{
	call(format("udelay %lu", usecs));
	std::lock_guard<std::mutex> b(g_board_mutex);
	models::board_advance(&g_board, static_cast<uint64_t>(usecs) * 1000);
}

unsigned long ks_irq_save(void)
{
	return static_cast<unsigned long>(t_irq_depth++);
}

// The pause of a store inside the section comes now, as an interrupt
// held off by it would.
void ks_irq_restore(unsigned long flags)
{
	if (!t_irq_depth || flags != static_cast<unsigned long>(t_irq_depth - 1)) {
		problem("ks_irq_restore without the matching ks_irq_save");
		return;
	}
	if (--t_irq_depth || !t_pause_pending)
		return;
	t_pause_pending = false;
	std::lock_guard<std::mutex> b(g_board_mutex);
	models::board_advance(&g_board, g_pause_ns);
}

} // extern "C"

// ---- test interface ---------------------------------------------------------

namespace sim {

void reset()
{
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		for (auto &m : g_modules) {
			m.second->loaded = m.second->going = false;
			m.second->refs = 0;
		}
		for (ks_cdev *c : g_cdevs)
			delete c;
		g_cdevs.clear();
		for (ks_class *c : g_classes)
			delete c;
		g_classes.clear();
		g_regions.clear();
		g_nodes.clear();
		g_files.clear();
		for (const auto &a : g_allocations)
			free(a.first);
		g_allocations.clear();
		g_next_fd = 3;
		for (Fault &f : g_faults)
			f = Fault();
		g_hook = nullptr;
		std::lock_guard<std::mutex> b(g_board_mutex);
		for (const Mapping &w : g_mappings)
			munmap(w.base, w.len);
		g_mappings.clear();
		g_trace.clear();
		g_trace_total = 0;
		models::board_set_i2c_queue_end(&g_board, g_machine.queue_end);
		models::board_reset(&g_board);
		g_pause_ns = g_machine.store_pause_ns;
		g_idle_skip = true;
		g_pause_filter = nullptr;
	}
	t_irq_depth = 0;
	t_pause_pending = false;
	unpoison();
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_log.clear();
	g_calls.clear();
	g_problems.clear();
}

int insmod(const Module &m)
{
	ModuleState *s;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s = module_state(m.name);
		if (s->loaded)
			return -EEXIST;
		s->loaded = true;
	}
	int ret;
	{
		InModule in(s);
		ret = m.init();
	}
	check_lock_released(s, "init");
	if (ret > 0)
		problem(s->name + ": init returned a positive value");
	if (ret) {
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s->loaded = false;
		report_leaks(s, "after a failed load");
	}
	return ret;
}

int rmmod(const Module &m)
{
	ModuleState *s;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		auto it = g_modules.find(m.name);
		if (it == g_modules.end() || !it->second->loaded)
			return -ENOENT;
		s = it->second.get();
		if (s->refs)
			return -EBUSY;
		s->going = true;
	}
	{
		InModule in(s);
		m.exit();
	}
	check_lock_released(s, "exit");
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s->going = s->loaded = false;
	}
	report_leaks(s, "after unload");
	return 0;
}

void in_module(const Module &m, const std::function<void()> &fn)
{
	ModuleState *s;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s = module_state(m.name);
	}
	InModule in(s);
	fn();
}

bool loaded(const Module &m)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	auto it = g_modules.find(m.name);
	return it != g_modules.end() && it->second->loaded;
}

int open(const char *path, int flags)
{
	auto f = std::make_shared<ks_file>();
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		const Node *node = nullptr;
		for (const Node &n : g_nodes)
			if (n.path == path)
				node = &n;
		if (!node)
			return -ENOENT;
		const ks_cdev *cdev = nullptr;
		for (const ks_cdev *c : g_cdevs)
			if (c->added && node->dev >= c->dev && node->dev < c->dev + c->count)
				cdev = c;
		if (!cdev)
			return -ENXIO;
		ModuleState *owner = cdev->owner;
		// The file holds a reference on the module, as try_module_get.
		if (owner != &g_no_module && (!owner->loaded || owner->going))
			return -ENXIO;
		owner->refs++;
		f->inode.rdev = node->dev;
		f->fops = cdev->fops;
		f->owner = owner;
		f->flags = flags;
	}
	int ret = 0;
	if (f->fops->open) {
		InModule in(f->owner);
		ret = f->fops->open(&f->inode, f.get());
	}
	check_lock_released(f->owner, "open");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	if (ret) {
		f->owner->refs--;
		return ret;
	}
	int fd = g_next_fd++;
	g_files[fd] = f;
	return fd;
}

namespace {

ssize_t do_read(ks_file *f, void *buf, size_t n, ks_loff_t *pos)
{
	if ((f->flags & O_ACCMODE) == O_WRONLY)
		return -EBADF;
	if (!f->fops->read)
		return -EINVAL;
	if (*pos < 0)
		return -EINVAL;
	ssize_t ret;
	{
		InModule in(f->owner);
		ret = f->fops->read(f, static_cast<char *>(buf), n, pos);
	}
	check_lock_released(f->owner, "read");
	if (ret > static_cast<ssize_t>(n))
		problem(format("read returned %zd for a buffer of %zu", ret, n));
	return ret;
}

} // namespace

ssize_t read(int fd, void *buf, size_t n)
{
	std::shared_ptr<ks_file> f = file_of(fd);
	if (!f)
		return -EBADF;
	// As the kernel: the position moves only when the read succeeds.
	ks_loff_t pos = f->pos;
	ssize_t ret = do_read(f.get(), buf, n, &pos);
	if (ret >= 0)
		f->pos = pos;
	return ret;
}

ssize_t pread(int fd, void *buf, size_t n, int64_t pos)
{
	std::shared_ptr<ks_file> f = file_of(fd);
	if (!f)
		return -EBADF;
	ks_loff_t at = pos;
	return do_read(f.get(), buf, n, &at);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	std::shared_ptr<ks_file> f = file_of(fd);
	if (!f)
		return -EBADF;
	if ((f->flags & O_ACCMODE) == O_RDONLY)
		return -EBADF;
	if (!f->fops->write)
		return -EINVAL;
	ks_loff_t pos = f->pos;
	if (pos < 0)
		return -EINVAL;
	ssize_t ret;
	{
		InModule in(f->owner);
		ret = f->fops->write(f.get(), static_cast<const char *>(buf), n, &pos);
	}
	check_lock_released(f->owner, "write");
	if (ret > static_cast<ssize_t>(n))
		problem(format("write returned %zd for %zu bytes", ret, n));
	if (ret >= 0)
		f->pos = pos;
	return ret;
}

int64_t lseek(int fd, int64_t, int)
{
	// ks_fops has no seek operation: the kernel's no_llseek.
	return file_of(fd) ? -ESPIPE : -EBADF;
}

int close(int fd)
{
	std::shared_ptr<ks_file> f;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		auto it = g_files.find(fd);
		if (it == g_files.end())
			return -EBADF;
		f = it->second;
		g_files.erase(it);
	}
	if (f->fops->release) {
		InModule in(f->owner);
		f->fops->release(&f->inode, f.get());
	}
	check_lock_released(f->owner, "release");
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	f->owner->refs--;
	return 0;
}

int64_t position(int fd)
{
	std::shared_ptr<ks_file> f = file_of(fd);
	return f ? f->pos.load() : -EBADF;
}

void set_machine(const Machine &m)
{
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		g_machine = m;
	}
	reset();
}

Machine machine()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	return g_machine;
}

void set_idle_skip(bool on)
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_idle_skip = on;
}

void set_store_pause(uint64_t ns, std::function<bool(const Access &)> filter)
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_pause_ns = ns;
	g_pause_filter = std::move(filter);
}

models::Board &board()
{
	return g_board;
}

void with_board(const std::function<void(models::Board &)> &fn)
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	fn(g_board);
}

void fail_next(Step step, int err, unsigned nth)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	g_faults[static_cast<int>(step)] = Fault{nth, err};
}

void poison(const void *p, size_t n)
{
	uintptr_t a = reinterpret_cast<uintptr_t>(p);
	std::lock_guard<std::mutex> g(g_user_mutex);
	g_poisoned.emplace_back(a, a + n);
}

void unpoison()
{
	std::lock_guard<std::mutex> g(g_user_mutex);
	g_poisoned.clear();
}

std::vector<LogLine> log()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	return g_log;
}

void clear_log()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_log.clear();
}

std::vector<Access> trace()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	return g_trace;
}

size_t trace_size()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	return g_trace_total;
}

void clear_trace()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_trace.clear();
	g_trace_total = 0;
}

std::vector<std::string> calls()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	return g_calls;
}

void set_call_hook(std::function<void(const std::string &)> hook)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	g_hook = std::move(hook);
}

std::string held()
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	std::string out;
	for (const std::string &what : holdings(nullptr))
		out += what + "\n";
	return out;
}

std::vector<std::string> problems()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	return g_problems;
}

} // namespace sim
