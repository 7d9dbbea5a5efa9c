// The C library entry points that reach the driver. Each one sends anything
// that is not about the driver's names or descriptors to the next definition
// (the C library, behind any sanitizer runtime preloaded before this one).
// The fortified spellings of open, read and poll lead to the same places.
// readlink answers the fanotify source's synthetic descriptors (fanotify_source.h) and sends
// every other path to the C library.
#undef _FORTIFY_SOURCE
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "fanotify_source.h"
#include "machine.h"
#include "real_libc.h"

namespace {

bool is_node(const char* path)
{
    return path && strcmp(path, drv::kNodePath) == 0;
}

mode_t mode_arg(int flags, va_list ap)
{
    bool needs_mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    return needs_mode ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

int result(int err)
{
    if (err == 0) return 0;
    errno = err;
    return -1;
}

bool is_devices_read(const char* path, const char* mode)
{
    return path && mode && strcmp(path, drv::kDevicesPath) == 0 && mode[0] == 'r' && !strchr(mode, '+');
}

// The list lives in a stream of its own: fclose frees it like any other.
FILE* devices_stream()
{
    std::string text = drv::devices_text();
    FILE* f = fmemopen(nullptr, text.size() + 1, "w+");
    if (!f) return nullptr;
    if (fwrite(text.data(), 1, text.size(), f) != text.size() || fseek(f, 0, SEEK_SET) != 0) {
        int err = errno;
        fclose(f);
        errno = err;
        return nullptr;
    }
    return f;
}

}  // namespace

extern "C" {
// Exported: the rest of the driver is hidden (driver/CMakeLists.txt).
#pragma GCC visibility push(default)

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_node(path)) return drv::device_open(flags);
    return drv::real::open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_node(path)) return drv::device_open(flags);
    return drv::real::open64(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_node(path)) return drv::device_open(flags);
    return drv::real::openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_node(path)) return drv::device_open(flags);
    return drv::real::openat64(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    if (is_node(path)) return drv::device_open(flags);
    return drv::real::open_2(path, flags);
}

int __open64_2(const char* path, int flags)
{
    if (is_node(path)) return drv::device_open(flags);
    return drv::real::open64_2(path, flags);
}

ssize_t read(int fd, void* buf, size_t n)
{
    if (drv::is_device_fd(fd)) return drv::device_read(fd, buf, n);
    return drv::real::read(fd, buf, n);
}

ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen)
{
    if (drv::is_device_fd(fd) && n <= buflen) return drv::device_read(fd, buf, n);
    return drv::real::read_chk(fd, buf, n, buflen);
}

// The C library declares the set write-only; poll reads it all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int poll(struct pollfd* fds, nfds_t n, int timeout)
{
    if (fds && drv::poll_set_has_device(fds, n)) return drv::device_poll(fds, n, timeout);
    return drv::real::poll(fds, n, timeout);
}

int __poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t fdslen)
{
    if (fds && n <= fdslen / sizeof *fds && drv::poll_set_has_device(fds, n))
        return drv::device_poll(fds, n, timeout);
    return drv::real::poll_chk(fds, n, timeout, fdslen);
}
#pragma GCC diagnostic pop

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (drv::is_device_fd(fd)) return drv::device_ioctl(fd, request, arg);
    return drv::real::ioctl(fd, request, arg);
}

int close(int fd)
{
    if (drv::is_device_fd(fd)) return drv::device_close(fd);
    return drv::real::close(fd);
}

long syscall(long nr, ...)
{
    // Every system call takes at most six words; the forwarder passes all six.
    // The driver's two calls use only their first word; the words after it may
    // not have been passed, and the sixth would be read from the caller's stack.
    va_list ap;
    va_start(ap, nr);
    long a[6];
    bool ours = nr == SYS_finit_module || nr == SYS_delete_module;
    for (int i = 0; i < (ours ? 1 : 6); i++) a[i] = va_arg(ap, long);
    va_end(ap);
    if (nr == SYS_finit_module) return result(drv::finit_module(static_cast<int>(a[0])));
    if (nr == SYS_delete_module) return result(drv::delete_module(reinterpret_cast<const char*>(a[0])));
    return drv::real::syscall(nr, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int mknod(const char* path, mode_t mode, dev_t dev)
{
    if (is_node(path)) return result(drv::make_node(path, dev));
    return drv::real::mknod(path, mode, dev);
}

int unlink(const char* path)
{
    if (is_node(path)) return result(drv::remove_node(path));
    return drv::real::unlink(path);
}

FILE* fopen(const char* path, const char* mode)
{
    if (is_devices_read(path, mode)) return devices_stream();
    return drv::real::fopen(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    if (is_devices_read(path, mode)) return devices_stream();
    return drv::real::fopen64(path, mode);
}

ssize_t readlink(const char* path, char* buf, size_t n)
{
    ssize_t r;
    if (drv::fan::readlink_synthetic(path, buf, n, &r)) return r;
    return drv::real::readlink(path, buf, n);
}

ssize_t __readlink_chk(const char* path, char* buf, size_t n, size_t buflen)
{
    ssize_t r;
    if (n <= buflen && drv::fan::readlink_synthetic(path, buf, n, &r)) return r;
    return drv::real::readlink_chk(path, buf, n, buflen);
}

#pragma GCC visibility pop
}  // extern "C"
