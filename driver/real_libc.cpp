// Lazy lookup of the next definition of each interposed name. No guard
// variables and no state: these run before any constructor of ours, from
// inside the C++ runtime's own guards (syscall for futex) and from the
// sanitizer runtimes' interceptors.
#include "real_libc.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>

namespace drv::real {
namespace {

template <typename Fn>
Fn resolve(std::atomic<void*>& slot, const char* name)
{
    void* p = slot.load(std::memory_order_acquire);
    if (!p) {
        // Racing threads resolve the same address; either store wins.
        p = dlsym(RTLD_NEXT, name);
        slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(p);
}

#define SIM_REAL(name, type)                                  \
    type real_##name()                                        \
    {                                                         \
        static std::atomic<void*> slot{nullptr};              \
        return resolve<type>(slot, #name);                    \
    }

using open_t = int (*)(const char*, int, ...);
using openat_t = int (*)(int, const char*, int, ...);
using open2_t = int (*)(const char*, int);
using read_t = ssize_t (*)(int, void*, size_t);
using read_chk_t = ssize_t (*)(int, void*, size_t, size_t);
using poll_t = int (*)(struct pollfd*, nfds_t, int);
using poll_chk_t = int (*)(struct pollfd*, nfds_t, int, size_t);
using ioctl_t = int (*)(int, unsigned long, ...);
using close_t = int (*)(int);
using syscall_t = long (*)(long, ...);
using mknod_t = int (*)(const char*, mode_t, dev_t);
using unlink_t = int (*)(const char*);
using fopen_t = FILE* (*)(const char*, const char*);
using readlink_t = ssize_t (*)(const char*, char*, size_t);
using readlink_chk_t = ssize_t (*)(const char*, char*, size_t, size_t);

// A zero-initialised atomic in a function is constant-initialised, so none
// of these takes a guard.
SIM_REAL(open, open_t)
SIM_REAL(open64, open_t)
SIM_REAL(openat, openat_t)
SIM_REAL(openat64, openat_t)
SIM_REAL(__open_2, open2_t)
SIM_REAL(__open64_2, open2_t)
SIM_REAL(read, read_t)
SIM_REAL(__read_chk, read_chk_t)
SIM_REAL(poll, poll_t)
SIM_REAL(__poll_chk, poll_chk_t)
SIM_REAL(ioctl, ioctl_t)
SIM_REAL(close, close_t)
SIM_REAL(syscall, syscall_t)
SIM_REAL(mknod, mknod_t)
SIM_REAL(unlink, unlink_t)
SIM_REAL(fopen, fopen_t)
SIM_REAL(fopen64, fopen_t)
SIM_REAL(readlink, readlink_t)
SIM_REAL(__readlink_chk, readlink_chk_t)

template <typename Fn>
bool missing(Fn fn)
{
    if (fn) return false;
    errno = ENOSYS;
    return true;
}

}  // namespace

int open(const char* path, int flags, mode_t mode)
{
    auto fn = real_open();
    return missing(fn) ? -1 : fn(path, flags, mode);
}

int open64(const char* path, int flags, mode_t mode)
{
    auto fn = real_open64();
    return missing(fn) ? -1 : fn(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, mode_t mode)
{
    auto fn = real_openat();
    return missing(fn) ? -1 : fn(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, mode_t mode)
{
    auto fn = real_openat64();
    return missing(fn) ? -1 : fn(dirfd, path, flags, mode);
}

int open_2(const char* path, int flags)
{
    auto fn = real___open_2();
    return missing(fn) ? -1 : fn(path, flags);
}

int open64_2(const char* path, int flags)
{
    auto fn = real___open64_2();
    return missing(fn) ? -1 : fn(path, flags);
}

ssize_t read(int fd, void* buf, size_t n)
{
    auto fn = real_read();
    return missing(fn) ? -1 : fn(fd, buf, n);
}

ssize_t read_chk(int fd, void* buf, size_t n, size_t buflen)
{
    auto fn = real___read_chk();
    return missing(fn) ? -1 : fn(fd, buf, n, buflen);
}

int poll(struct pollfd* fds, nfds_t n, int timeout)
{
    auto fn = real_poll();
    return missing(fn) ? -1 : fn(fds, n, timeout);
}

int poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t fdslen)
{
    auto fn = real___poll_chk();
    return missing(fn) ? -1 : fn(fds, n, timeout, fdslen);
}

int ioctl(int fd, unsigned long request, void* arg)
{
    auto fn = real_ioctl();
    return missing(fn) ? -1 : fn(fd, request, arg);
}

int close(int fd)
{
    auto fn = real_close();
    return missing(fn) ? -1 : fn(fd);
}

long syscall(long nr, long a, long b, long c, long d, long e, long f)
{
    auto fn = real_syscall();
    return missing(fn) ? -1 : fn(nr, a, b, c, d, e, f);
}

int mknod(const char* path, mode_t mode, dev_t dev)
{
    auto fn = real_mknod();
    return missing(fn) ? -1 : fn(path, mode, dev);
}

int unlink(const char* path)
{
    auto fn = real_unlink();
    return missing(fn) ? -1 : fn(path);
}

FILE* fopen(const char* path, const char* mode)
{
    auto fn = real_fopen();
    if (missing(fn)) return nullptr;
    return fn(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    auto fn = real_fopen64();
    if (missing(fn)) return nullptr;
    return fn(path, mode);
}

ssize_t readlink(const char* path, char* buf, size_t n)
{
    auto fn = real_readlink();
    return missing(fn) ? -1 : fn(path, buf, n);
}

ssize_t readlink_chk(const char* path, char* buf, size_t n, size_t buflen)
{
    auto fn = real___readlink_chk();
    return missing(fn) ? -1 : fn(path, buf, n, buflen);
}

}  // namespace drv::real
