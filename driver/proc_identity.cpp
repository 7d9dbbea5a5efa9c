// The fanotify source's /proc readers: small files, a process's parent and owner,
// the call a thread is blocked in, mount namespaces, descriptor paths.
#include "proc_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "real_libc.h"

namespace drv::fan {
namespace {

// x86_64 system call numbers of the calls that open a file.
constexpr long kSysOpen = 2, kSysCreat = 85, kSysOpenat = 257, kSysOpenat2 = 437;
constexpr long kSysExecve = 59, kSysExecveat = 322;

}  // namespace

std::string fd_path(int fd)
{
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = real::readlink(link, path, sizeof path - 1);
    if (n < 0) return std::string();
    return std::string(path, (size_t)n);
}

// Reads a small /proc file into buf (terminated); false when unreadable.
bool read_small(const char* path, char* buf, size_t size)
{
    int fd = real::open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t n = real::read(fd, buf, size - 1);
    real::close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    return true;
}

// The parent and the effective uid of a process: /proc/<pid>/stat and the
// owner of /proc/<pid> (the process's effective uid while it is dumpable).
ProcInfo proc_info(pid_t pid)
{
    ProcInfo p;
    p.pid = pid;
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (!read_small(path, buf, sizeof buf)) return p;
    const char* close_paren = strrchr(buf, ')');
    char state;
    int ppid = 0;
    if (close_paren && sscanf(close_paren + 1, " %c %d", &state, &ppid) == 2) p.ppid = (pid_t)ppid;
    struct stat st;
    snprintf(path, sizeof path, "/proc/%d", (int)pid);
    if (stat(path, &st) == 0) p.euid = st.st_uid;
    return p;
}

// The call the thread tid is blocked in, with the flags and mode of an open,
// from /proc/<pid>/task/<tid>/syscall.
Call thread_call(pid_t pid, pid_t tid, uint32_t* flags, uint32_t* mode)
{
    char path[96], buf[512];
    snprintf(path, sizeof path, "/proc/%d/task/%d/syscall", (int)pid, (int)tid);
    if (!read_small(path, buf, sizeof buf)) return Call::unknown;
    long nr;
    unsigned long long a[6];
    if (sscanf(buf, "%ld %llx %llx %llx %llx %llx %llx", &nr, &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) != 7)
        return Call::unknown;
    switch (nr) {
    case kSysOpen: *flags = (uint32_t)a[1]; *mode = (uint32_t)a[2]; return Call::open;
    case kSysCreat: *flags = O_CREAT | O_WRONLY | O_TRUNC; *mode = (uint32_t)a[1]; return Call::open;
    case kSysOpenat: *flags = (uint32_t)a[2]; *mode = (uint32_t)a[3]; return Call::open;
    case kSysOpenat2: {
        uint64_t how[3];  // struct open_how: flags, mode, resolve
        struct iovec local = {how, sizeof how}, remote = {(void*)(uintptr_t)a[2], sizeof how};
        if (a[3] < sizeof how || process_vm_readv(tid, &local, 1, &remote, 1, 0) != (ssize_t)sizeof how)
            return Call::unknown;
        *flags = (uint32_t)how[0];
        *mode = (uint32_t)how[1];
        return Call::open;
    }
    case kSysExecve:
    case kSysExecveat: return Call::exec;
    default: return Call::unknown;
    }
}

// The open call process pid is blocked in: its main thread's, or else the
// first other thread found in an open or exec (fanotify names the process,
// and a permission event stops the one thread that made the call). *tid is
// the thread.
Call open_call(pid_t pid, pid_t* tid, uint32_t* flags, uint32_t* mode)
{
    *tid = pid;
    Call c = thread_call(pid, pid, flags, mode);
    if (c != Call::unknown) return c;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", (int)pid);
    DIR* d = opendir(path);
    if (!d) return Call::unknown;
    while (struct dirent* e = readdir(d)) {
        pid_t t = (pid_t)strtol(e->d_name, nullptr, 10);
        if (t <= 0 || t == pid) continue;
        c = thread_call(pid, t, flags, mode);
        if (c != Call::unknown) {
            *tid = t;
            break;
        }
    }
    closedir(d);
    return c;
}

std::string mnt_ns(pid_t pid)
{
    char link[64], target[128];
    snprintf(link, sizeof link, "/proc/%d/ns/mnt", (int)pid);
    ssize_t n = real::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

bool process_gone(pid_t pid)
{
    char link[64], target[16];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    return real::readlink(link, target, sizeof target) < 0 && errno == ENOENT;
}

namespace {

bool links_readable(pid_t pid)
{
    char link[64], target[16];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    if (real::readlink(link, target, sizeof target) < 0) return false;
    snprintf(link, sizeof link, "/proc/%d/root", (int)pid);
    return real::readlink(link, target, sizeof target) >= 0;
}

}  // namespace

pid_t stand_in(pid_t self)
{
    if (links_readable(1)) return 1;
    pid_t p = parent_of(self);
    for (int depth = 0; p > 1 && depth < 64; depth++, p = parent_of(p))
        if (links_readable(p)) return p;
    return 1;
}

pid_t parent_of(pid_t pid)
{
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (!read_small(path, buf, sizeof buf)) return 0;
    const char* close_paren = strrchr(buf, ')');
    int ppid = 0;
    char state;
    if (!close_paren || sscanf(close_paren + 1, " %c %d", &state, &ppid) != 2) return 0;
    return (pid_t)ppid;
}

}  // namespace drv::fan
