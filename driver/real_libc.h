// The C library's own entry points behind the interposed names, for every
// call that is not about the simulated driver.
#pragma once
#include <cstdio>
#include <poll.h>
#include <sys/types.h>

namespace drv::real {

int open(const char* path, int flags, mode_t mode);
int open64(const char* path, int flags, mode_t mode);
int openat(int dirfd, const char* path, int flags, mode_t mode);
int openat64(int dirfd, const char* path, int flags, mode_t mode);
int open_2(const char* path, int flags);
int open64_2(const char* path, int flags);
ssize_t read(int fd, void* buf, size_t n);
ssize_t read_chk(int fd, void* buf, size_t n, size_t buflen);
int poll(struct pollfd* fds, nfds_t n, int timeout);
int poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t fdslen);
int ioctl(int fd, unsigned long request, void* arg);
int close(int fd);
long syscall(long nr, long a, long b, long c, long d, long e, long f);
int mknod(const char* path, mode_t mode, dev_t dev);
int unlink(const char* path);
FILE* fopen(const char* path, const char* mode);
FILE* fopen64(const char* path, const char* mode);
ssize_t readlink(const char* path, char* buf, size_t n);
ssize_t readlink_chk(const char* path, char* buf, size_t n, size_t buflen);

}  // namespace drv::real
