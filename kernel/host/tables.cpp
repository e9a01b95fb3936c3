// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated kernel's tables: device-number regions, character devices,
// classes, nodes, modules and allocations, with fault injection on the calls
// that fill them and a list of what each module still holds.
#include "sim_state.h"

#include <cerrno>
#include <cstdlib>
#include <thread>

using namespace simkernel;

namespace {

const unsigned MINOR_BITS = 20; // the kernel's dev_t: 12-bit major, 20-bit minor

unsigned dev_major(ks_dev_t dev)
{
	return dev >> MINOR_BITS;
}

unsigned dev_minor(ks_dev_t dev)
{
	return dev & ((1u << MINOR_BITS) - 1);
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

} // namespace

namespace simkernel {

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

bool take_fault(sim::Step step, int *err)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	Fault &f = g_faults[static_cast<int>(step)];
	if (!f.countdown || --f.countdown)
		return false;
	*err = f.err;
	return true;
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

} // namespace simkernel

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

int ks_lock(void)
{
	ModuleState *m = current();
	int err;
	check_may_sleep("ks_lock");
	if (take_fault(sim::Step::lock, &err))
		return -EINTR;
	if (!m->lock.try_lock()) {
		m->lock_waits++;
		m->lock.lock();
	}
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

} // extern "C"
