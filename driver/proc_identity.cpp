// The fanotify source's /proc readers: small files, a process's parent and owner,
// the call a thread is blocked in, mount namespaces, descriptor paths.
#include "proc_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "real_libc.h"

namespace drv::fan {
namespace {

// x86_64 system call numbers of the calls that open a file.
constexpr long kSysOpen = 2, kSysCreat = 85, kSysOpenat = 257, kSysOpenat2 = 437;
constexpr long kSysExecve = 59, kSysExecveat = 322;

// The parent from the text of /proc/<pid>/stat.
bool parse_stat(const char* buf, ProcInfo* p)
{
    const char* close_paren = strrchr(buf, ')');
    char state;
    int ppid = 0;
    if (!close_paren || sscanf(close_paren + 1, " %c %d", &state, &ppid) != 2) return false;
    p->ppid = (pid_t)ppid;
    return true;
}

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
    parse_stat(buf, &p);
    struct stat st;
    snprintf(path, sizeof path, "/proc/%d", (int)pid);
    if (stat(path, &st) == 0) p.euid = st.st_uid;
    return p;
}

namespace {

// The call in the text of a syscall file of thread tid.
Call parse_call(const char* buf, pid_t tid, uint32_t* flags, uint32_t* mode)
{
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

bool pread_small(int fd, char* buf, size_t size)
{
    ssize_t n = pread(fd, buf, size - 1, 0);
    if (n <= 0) return false;
    buf[n] = '\0';
    return true;
}

// Processes kept: their /proc/<pid> directory, stat and syscall files open.
// Read under the shared lock (several threads build records at once), opened
// and closed under the exclusive one.
struct Kept {
    pid_t pid = 0;
    int dir = -1, stat = -1, syscall = -1;
    std::atomic<uint64_t> used{0};
};
constexpr size_t kKept = 64;
constexpr int kRunningRetries = 20;

struct KeptSet {
    std::shared_mutex mu;
    Kept slots[kKept];
    std::atomic<uint64_t> clock{0};
};

void touch(KeptSet& set, Kept& k)
{
    k.used.store(set.clock.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

KeptSet& kept()
{
    static KeptSet* k = new KeptSet;  // never destroyed: the reader may outlive exit handlers
    return *k;
}

void close_kept(Kept& k)
{
    for (int* fd : {&k.dir, &k.stat, &k.syscall}) {
        if (*fd >= 0) real::close(*fd);
        *fd = -1;
    }
    k.pid = 0;
}

Kept* find_kept(KeptSet& set, pid_t pid)
{
    for (Kept& k : set.slots)
        if (k.pid == pid) return &k;
    return nullptr;
}

// A slot opened for pid (the least recently used one reused); null when the
// process cannot be opened.
Kept* open_kept(KeptSet& set, pid_t pid)
{
    Kept* slot = &set.slots[0];
    for (Kept& k : set.slots) {
        if (k.pid == 0) {
            slot = &k;
            break;
        }
        if (k.used.load(std::memory_order_relaxed) < slot->used.load(std::memory_order_relaxed)) slot = &k;
    }
    close_kept(*slot);
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", (int)pid);
    slot->dir = real::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (slot->dir < 0) return nullptr;
    slot->stat = real::openat(slot->dir, "stat", O_RDONLY | O_CLOEXEC, 0);
    if (slot->stat < 0) {
        close_kept(*slot);
        return nullptr;
    }
    slot->pid = pid;
    return slot;
}

// The kept process's identity; false once it has gone.
bool read_kept(const Kept& k, ProcInfo* p)
{
    char buf[1024];
    struct stat st;
    if (!pread_small(k.stat, buf, sizeof buf) || !parse_stat(buf, p) || fstat(k.dir, &st) != 0) return false;
    p->euid = st.st_uid;
    p->complete = true;
    return true;
}

}  // namespace

// A syscall file says "running" while its thread is still on a processor: an
// opener is, for a moment, after queueing its event and before it sleeps
// waiting for the answer. Read again, a few times, yielding in between.
enum class Text { read, unreadable, running };
template <typename Read>
Text read_syscall(char* buf, size_t size, Read read)
{
    for (int i = 0; i < kRunningRetries; i++) {
        if (!read(buf, size)) return Text::unreadable;
        if (strncmp(buf, "running", 7) != 0) return Text::read;
        sched_yield();
    }
    return Text::running;
}

// The call the thread tid is blocked in, with the flags and mode of an open,
// from /proc/<pid>/task/<tid>/syscall.
Call thread_call(pid_t pid, pid_t tid, uint32_t* flags, uint32_t* mode)
{
    char path[96], buf[512];
    snprintf(path, sizeof path, "/proc/%d/task/%d/syscall", (int)pid, (int)tid);
    if (read_syscall(buf, sizeof buf, [&](char* b, size_t n) { return read_small(path, b, n); }) != Text::read)
        return Call::unknown;
    return parse_call(buf, tid, flags, mode);
}

ProcInfo kept_proc_info(pid_t pid, bool keep)
{
    KeptSet& set = kept();
    ProcInfo p;
    p.pid = pid;
    {
        std::shared_lock<std::shared_mutex> lock(set.mu);
        Kept* k = find_kept(set, pid);
        if (k && read_kept(*k, &p)) {
            touch(set, *k);
            return p;
        }
    }
    std::unique_lock<std::shared_mutex> lock(set.mu);
    Kept* k = find_kept(set, pid);
    if (k) close_kept(*k);  // gone, or a reused pid
    if (!keep) {
        lock.unlock();
        return proc_info(pid);
    }
    k = open_kept(set, pid);
    if (k && read_kept(*k, &p))
        touch(set, *k);
    else if (k)
        close_kept(*k);
    return p;
}

void load_proc_readers()
{
    char buf[16];
    int fd = real::openat(AT_FDCWD, "/proc/self/stat", O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        ssize_t n = real::read(fd, buf, sizeof buf);
        (void)n;
        real::close(fd);
    }
    fd = real::open("/proc/self/stat", O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) real::close(fd);
    ssize_t n = real::readlink("/proc/self/root", buf, sizeof buf);
    (void)n;
}

void forget_processes()
{
    KeptSet& set = kept();
    std::lock_guard<std::shared_mutex> lock(set.mu);
    for (Kept& k : set.slots) close_kept(k);
}

void complete_info(ProcInfo* p)
{
    if (p->complete) return;
    {
        KeptSet& set = kept();
        std::shared_lock<std::shared_mutex> lock(set.mu);
        Kept* k = find_kept(set, p->pid);
        if (k && read_kept(*k, p)) return;
    }
    *p = proc_info(p->pid);
}

ssize_t proc_link(pid_t pid, const char* name, char* buf, size_t size)
{
    {
        KeptSet& set = kept();
        std::shared_lock<std::shared_mutex> lock(set.mu);
        if (Kept* k = find_kept(set, pid)) return readlinkat(k->dir, name, buf, size);
    }
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/%s", (int)pid, name);
    return real::readlink(link, buf, size);
}

namespace {

// The main thread's syscall file read through the kept descriptor.
Text read_kept_call(KeptSet& set, pid_t pid, char* buf, size_t size)
{
    Kept* k = find_kept(set, pid);
    const int fd = k ? k->syscall : -1;
    if (fd < 0) return Text::unreadable;
    const Text got = read_syscall(buf, size, [fd](char* b, size_t n) { return pread_small(fd, b, n); });
    if (got == Text::read) touch(set, *k);
    return got;
}

// The same for a process not kept yet, or whose kept file no longer reads
// (it has gone, or its pid was reused): kept afresh.
Text keep_and_read_call(KeptSet& set, pid_t pid, char* buf, size_t size)
{
    std::lock_guard<std::shared_mutex> lock(set.mu);
    if (Kept* k = find_kept(set, pid)) close_kept(*k);
    Kept* k = open_kept(set, pid);
    if (!k) return Text::unreadable;
    k->syscall = real::openat(k->dir, "syscall", O_RDONLY | O_CLOEXEC, 0);
    return read_kept_call(set, pid, buf, size);
}

}  // namespace

// The open call process pid is blocked in: its main thread's, or else the
// first other thread found in an open or exec (fanotify names the process,
// and a permission event stops the one thread that made the call). *tid is
// the thread. The process is kept: its syscall file is read first, and
// costs no path walk when it opens again.
Call open_call(pid_t pid, pid_t* tid, uint32_t* flags, uint32_t* mode)
{
    *tid = pid;
    KeptSet& set = kept();
    char buf[512];
    Text got;
    {
        std::shared_lock<std::shared_mutex> lock(set.mu);
        got = read_kept_call(set, pid, buf, sizeof buf);
    }
    // A file still "running" after the retries is not read again another way.
    if (got == Text::unreadable) got = keep_and_read_call(set, pid, buf, sizeof buf);
    Call c = got == Text::read         ? parse_call(buf, pid, flags, mode)
             : got == Text::unreadable ? thread_call(pid, pid, flags, mode)
                                       : Call::unknown;
    if (c != Call::unknown) return c;
    // Not the main thread's call (rare: most openers have one thread).
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
