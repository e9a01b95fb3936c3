// SPDX-License-Identifier: GPL-2.0-or-later
// Files of the device nodes, opened, read and written the way the kernel's
// character-device layer does it: module references, positions, access
// modes, no seek.
#include "sim_state.h"

#include <cerrno>

using namespace simkernel;

namespace {

std::shared_ptr<ks_file> file_of(int fd)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	auto it = g_files.find(fd);
	return it == g_files.end() ? nullptr : it->second;
}

} // namespace

extern "C" {

void *ks_file_private(struct ks_file *file)
{
	return file->private_data;
}

void ks_set_file_private(struct ks_file *file, void *data)
{
	file->private_data = data;
}

} // extern "C"

namespace sim {

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

} // namespace sim
