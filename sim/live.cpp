// Live mode: fanotify on one tmpfs mount feeds the simulated driver's queue
// and holds permission events until the engine's reply (see live.h).
#include "live.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <signal.h>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/event_record.h"
#include "machine.h"
#include "real_libc.h"

#ifndef TMPFS_MAGIC
#define TMPFS_MAGIC 0x01021994
#endif

namespace sim::live {
namespace {

constexpr uint32_t kReplyBlock = 3;        // REPLY_BLOCK
constexpr uint32_t kReplyCodeMask = 0x7F;  // the 0x80 flag only asks for eta
constexpr size_t kMaxSessions = 4096;      // write opens waiting for their close
constexpr size_t kMaxSynthetic = 4096;     // synthetic descriptors readlink still answers
constexpr size_t kReadBuffer = 64 * 1024;

// x86_64 system call numbers of the calls that open a file.
constexpr long kSysOpen = 2, kSysCreat = 85, kSysOpenat = 257, kSysOpenat2 = 437;
constexpr long kSysExecve = 59, kSysExecveat = 322;

int64_t now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t now_ms() { return now_us() / 1000; }

// A permission event waiting for the engine.
struct Held {
    int event_fd = -1;
    int64_t deadline = 0;
    int64_t read_us = 0;  // when the event was read
    int64_t reader_us = 0;  // from reading it to its record being ready
    pid_t pid = 0;
    bool exec = false;
    // A write open: once the open-pre is allowed, this open-post goes out and
    // the open stays held until the open-post's reply.
    std::unique_ptr<ac_event_record> post;
    std::string path;
};

// The owner and file of a synthetic descriptor, for readlink.
struct Synthetic {
    pid_t pid;
    std::string path;
};

struct ProcInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    uid_t euid = 0;
};

struct Live {
    std::mutex control;  // start and stop, one at a time
    std::mutex mu;       // everything below
    bool on = false;
    Options opt;
    int perm_fd = -1, notif_fd = -1, mount_fd = -1, wake_r = -1, wake_w = -1;
    bool rename_event = false;
    pid_t self = 0;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::unordered_map<uint32_t, Held> held;
    uint32_t next_id = kFirstId;
    int32_t next_fd = kSyntheticFdBase;
    std::unordered_map<pid_t, std::pair<dev_t, ino_t>> exec_followup;  // by process
    std::map<std::pair<pid_t, std::string>, std::deque<int32_t>> sessions;
    size_t session_count = 0;
    std::unordered_map<int32_t, Synthetic> synthetic;
    std::deque<int32_t> synthetic_order;
    uint32_t missed = 0;  // overflows not yet reported in a record
    // FAN_MOVED_FROM waiting for its FAN_MOVED_TO (without FAN_RENAME).
    pid_t moved_pid = 0;
    std::string moved_from;
    Counters c;
};

Live& live()
{
    static Live* l = new Live;  // never destroyed: the reader may outlive exit handlers
    return *l;
}

std::atomic<bool> g_on{false};     // replies are looked at only while on
std::atomic<bool> g_ever{false};   // readlink is looked at once a live mode has started

// ---------------------------------------------------------------- helpers

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

enum class Call { unknown, open, exec };

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

void set_name(char* field, uint32_t* len, const std::string& s)
{
    size_t n = s.size() < AC_NAME_FIELD ? s.size() : AC_NAME_FIELD;
    memcpy(field, s.data(), n);
    *len = (uint32_t)n;
}

std::unique_ptr<ac_event_record> new_record(uint32_t type, pid_t tid, const ProcInfo& p)
{
    auto rec = std::make_unique<ac_event_record>();
    memset(rec.get(), 0, sizeof *rec);
    rec->type = type;
    rec->pid = (uint32_t)p.pid;
    rec->tid = (uint32_t)tid;
    rec->ppid = (uint32_t)p.ppid;
    rec->execUid = (uint32_t)p.euid;
    rec->fd = AC_FD_CWD;
    rec->oldfd = AC_FD_CWD;
    return rec;
}

void respond_locked(Live& L, int event_fd, bool allow)
{
    struct fanotify_response r;
    r.fd = event_fd;
    r.response = allow ? FAN_ALLOW : FAN_DENY;
    ssize_t w = write(L.perm_fd, &r, sizeof r);
    (void)w;  // a failed answer leaves the kernel to allow it when the group closes
    real::close(event_fd);
    if (allow)
        L.c.allowed++;
    else
        L.c.denied++;
}

uint32_t new_id_locked(Live& L)
{
    uint32_t id;
    do {
        id = L.next_id++;
        if (L.next_id < kFirstId) L.next_id = kFirstId;
    } while (L.held.count(id));
    return id;
}

int32_t new_fd_locked(Live& L, pid_t pid, const std::string& path)
{
    int32_t fd = L.next_fd++;
    if (L.next_fd < kSyntheticFdBase) L.next_fd = kSyntheticFdBase;
    L.synthetic[fd] = Synthetic{pid, path};
    L.synthetic_order.push_back(fd);
    while (L.synthetic_order.size() > kMaxSynthetic) {
        L.synthetic.erase(L.synthetic_order.front());
        L.synthetic_order.pop_front();
    }
    return fd;
}

// Forgets write opens of processes that have gone, or all of them when that
// is not enough (their closes then count as untracked).
void prune_sessions_locked(Live& L)
{
    if (L.session_count < kMaxSessions) return;
    for (auto it = L.sessions.begin(); it != L.sessions.end();) {
        if (kill(it->first.first, 0) != 0 && errno == ESRCH) {
            L.session_count -= it->second.size();
            it = L.sessions.erase(it);
        } else {
            ++it;
        }
    }
    if (L.session_count >= kMaxSessions) {
        L.sessions.clear();
        L.session_count = 0;
    }
}

// Queues a record (giving it an id when it has none); false when no handle
// took it.
bool queue(Live& L, ac_event_record* rec)
{
    unsigned handle;
    {
        std::lock_guard<std::mutex> lock(L.mu);
        handle = L.opt.handle;
        if (!rec->id) rec->id = new_id_locked(L);
        if (L.missed) {
            rec->missed = L.missed;
            L.missed = 0;
        }
    }
    int err = push(handle, rec, sizeof *rec);
    std::lock_guard<std::mutex> lock(L.mu);
    if (err) {
        L.c.unqueued++;
        return false;
    }
    L.c.records++;
    switch (rec->type) {
    case EVENT_EXECVE_PRE: L.c.exec_pre++; break;
    case EVENT_OPEN_PRE: L.c.open_pre++; break;
    case EVENT_OPEN_POST: L.c.open_post++; break;
    case EVENT_CLOSE_PRE: L.c.close_pre++; break;
    case EVENT_CHMOD_POST: L.c.chmod_post++; break;
    case EVENT_RENAME_POST: L.c.rename_post++; break;
    case EVENT_UNLINK_POST: L.c.unlink_post++; break;
    default: break;
    }
    return true;
}

// Holds a permission event under a new id written into rec, queues rec, and
// allows the event at once when no handle takes it.
void hold_and_queue(Live& L, Held h, ac_event_record* rec)
{
    h.reader_us = now_us() - h.read_us;  // the record is ready
    uint32_t id;
    {
        std::lock_guard<std::mutex> lock(L.mu);
        id = new_id_locked(L);
        rec->id = id;
        L.held.emplace(id, std::move(h));
    }
    if (queue(L, rec)) return;
    std::lock_guard<std::mutex> lock(L.mu);
    auto it = L.held.find(id);
    if (it == L.held.end()) return;  // answered meanwhile
    L.exec_followup.erase(it->second.pid);
    respond_locked(L, it->second.event_fd, true);
    L.held.erase(it);
}

// ---------------------------------------------------------------- permission events

void permission_event(Live& L, const struct fanotify_event_metadata* m)
{
    const int64_t read_us = now_us();
    const pid_t pid = m->pid;  // the process (fanotify reports the thread group)
    const bool exec = m->mask & FAN_OPEN_EXEC_PERM;
    struct stat st;
    bool have_stat = fstat(m->fd, &st) == 0;
    {
        std::lock_guard<std::mutex> lock(L.mu);
        L.c.perm_events++;
        if (!exec) {
            auto it = L.exec_followup.find(pid);
            if (it != L.exec_followup.end()) {
                bool same = have_stat && it->second.first == st.st_dev && it->second.second == st.st_ino;
                L.exec_followup.erase(it);
                if (same) {
                    L.c.followups++;
                    respond_locked(L, m->fd, true);
                    return;
                }
            }
        }
    }
    ProcInfo p = proc_info(pid);
    std::string path = fd_path(m->fd);
    uint32_t flags = 0, mode = 0;
    pid_t tid = pid;
    Call call = exec ? Call::exec : open_call(pid, &tid, &flags, &mode);
    if (!exec && call == Call::exec) {
        // An open made by an exec that was not seen as one (binfmt, uselib).
        std::lock_guard<std::mutex> lock(L.mu);
        L.c.followups++;
        respond_locked(L, m->fd, true);
        return;
    }
    auto rec = new_record(exec ? EVENT_EXECVE_PRE : EVENT_OPEN_PRE, tid, p);
    set_name(rec->name, &rec->name_len, path);
    rec->flags = flags;
    rec->mode = mode;
    if (pid == L.self) {
        // The engine's own process: never wait for ourselves. The record still
        // goes to the engine, which answers it as an own event.
        {
            std::lock_guard<std::mutex> lock(L.mu);
            L.c.own++;
            respond_locked(L, m->fd, true);
        }
        queue(L, rec.get());
        return;
    }
    Held h;
    h.read_us = read_us;
    h.event_fd = m->fd;
    h.pid = pid;
    h.exec = exec;
    h.path = path;
    if (exec) {
        std::lock_guard<std::mutex> lock(L.mu);
        if (have_stat) L.exec_followup[pid] = {st.st_dev, st.st_ino};
        h.deadline = now_ms() + L.opt.timeout_ms;
    } else {
        std::lock_guard<std::mutex> lock(L.mu);
        h.deadline = now_ms() + L.opt.timeout_ms;
        if (call == Call::unknown) L.c.unknown_flags++;
    }
    if (!exec && (flags & O_ACCMODE) != O_RDONLY) {
        h.post = new_record(EVENT_OPEN_POST, tid, p);
        set_name(h.post->name, &h.post->name_len, path);
        h.post->flags = flags;
        h.post->mode = mode;
    }
    hold_and_queue(L, std::move(h), rec.get());
}

// ---------------------------------------------------------------- notification events

struct Names {
    std::string name, old_name, new_name;  // absolute paths; empty when absent
};

std::string join(const std::string& dir, const char* name)
{
    if (dir.empty() || !name[0] || strcmp(name, ".") == 0) return std::string();
    return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

std::string handle_path(Live& L, const struct fanotify_event_info_fid* info, const char** name)
{
    auto* fh = reinterpret_cast<struct file_handle*>(const_cast<unsigned char*>(info->handle));
    *name = reinterpret_cast<const char*>(fh->f_handle + fh->handle_bytes);
    int fd = open_by_handle_at(L.mount_fd, fh, O_PATH | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string dir = fd_path(fd);
    real::close(fd);
    return dir;
}

Names event_names(Live& L, const struct fanotify_event_metadata* m)
{
    Names out;
    const char* p = reinterpret_cast<const char*>(m) + m->metadata_len;
    const char* end = reinterpret_cast<const char*>(m) + m->event_len;
    while (p + sizeof(struct fanotify_event_info_header) <= end) {
        auto* hdr = reinterpret_cast<const struct fanotify_event_info_header*>(p);
        if (hdr->len == 0 || p + hdr->len > end) break;
        if (hdr->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME || hdr->info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
            hdr->info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME) {
            const char* name = "";
            std::string dir = handle_path(L, reinterpret_cast<const struct fanotify_event_info_fid*>(p), &name);
            std::string path = join(dir, name);
            if (hdr->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) out.name = path;
            else if (hdr->info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME) out.old_name = path;
            else out.new_name = path;
        }
        p += hdr->len;
    }
    return out;
}

void rename_known_locked(Live& L, const std::string& from, const std::string& to)
{
    for (auto& s : L.synthetic)
        if (s.second.path == from) s.second.path = to;
    std::vector<std::pair<pid_t, std::deque<int32_t>>> moved;
    for (auto it = L.sessions.begin(); it != L.sessions.end();) {
        if (it->first.second == from) {
            moved.emplace_back(it->first.first, std::move(it->second));
            it = L.sessions.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& m : moved) {
        auto& q = L.sessions[{m.first, to}];
        q.insert(q.end(), m.second.begin(), m.second.end());
    }
}

void rename_record(Live& L, pid_t tid, const ProcInfo& p, const std::string& from, const std::string& to)
{
    if (from.empty() || to.empty()) return;
    {
        std::lock_guard<std::mutex> lock(L.mu);
        rename_known_locked(L, from, to);
    }
    auto rec = new_record(EVENT_RENAME_POST, tid, p);
    set_name(rec->name, &rec->name_len, to);
    set_name(rec->oldname, &rec->oldname_len, from);
    queue(L, rec.get());
}

void notification_event(Live& L, const struct fanotify_event_metadata* m)
{
    {
        std::lock_guard<std::mutex> lock(L.mu);
        L.c.notify_events++;
        if (m->mask & FAN_Q_OVERFLOW) {
            L.c.overflows++;
            L.missed++;
            return;
        }
    }
    const pid_t pid = m->pid, tid = m->pid;  // the thread is not known here
    ProcInfo p = proc_info(pid);
    Names n = event_names(L, m);
    if ((m->mask & FAN_ATTRIB) && !n.name.empty()) {
        auto rec = new_record(EVENT_CHMOD_POST, tid, p);
        struct stat st;
        if (lstat(n.name.c_str(), &st) == 0) rec->mode = st.st_mode;
        set_name(rec->name, &rec->name_len, n.name);
        queue(L, rec.get());
    }
    if ((m->mask & FAN_CLOSE_WRITE) && !n.name.empty()) {
        auto rec = new_record(EVENT_CLOSE_PRE, tid, p);
        {
            std::lock_guard<std::mutex> lock(L.mu);
            auto it = L.sessions.find({pid, n.name});
            if (it != L.sessions.end() && !it->second.empty()) {
                rec->fd = it->second.front();
                it->second.pop_front();
                L.session_count--;
                if (it->second.empty()) L.sessions.erase(it);
            } else {
                rec->fd = new_fd_locked(L, pid, n.name);  // an untracked descriptor
            }
        }
        queue(L, rec.get());
    }
    if (m->mask & FAN_RENAME) rename_record(L, tid, p, n.old_name, n.new_name);
    if (m->mask & FAN_MOVED_FROM) {
        std::lock_guard<std::mutex> lock(L.mu);
        L.moved_pid = tid;
        L.moved_from = n.name;
    }
    if (m->mask & FAN_MOVED_TO) {
        std::string from;
        {
            std::lock_guard<std::mutex> lock(L.mu);
            if (L.moved_pid == tid) from.swap(L.moved_from);
            L.moved_pid = 0;
        }
        rename_record(L, tid, p, from, n.name);
    }
    if ((m->mask & FAN_DELETE) && !n.name.empty()) {
        {
            std::lock_guard<std::mutex> lock(L.mu);
            for (auto& s : L.synthetic)
                if (s.second.path == n.name) s.second.path += " (deleted)";
        }
        auto rec = new_record(EVENT_UNLINK_POST, tid, p);
        set_name(rec->name, &rec->name_len, n.name);
        queue(L, rec.get());
    }
}

// ---------------------------------------------------------------- the reader thread

int next_wait(Live& L)
{
    std::lock_guard<std::mutex> lock(L.mu);
    if (L.held.empty()) return -1;
    int64_t first = INT64_MAX;
    for (auto& h : L.held) first = h.second.deadline < first ? h.second.deadline : first;
    int64_t left = first - now_ms();
    return left <= 0 ? 0 : (int)(left > INT_MAX ? INT_MAX : left);
}

void expire(Live& L)
{
    int64_t now = now_ms();
    std::lock_guard<std::mutex> lock(L.mu);
    for (auto it = L.held.begin(); it != L.held.end();) {
        if (it->second.deadline <= now) {
            L.c.timeouts++;
            L.exec_followup.erase(it->second.pid);
            respond_locked(L, it->second.event_fd, true);
            it = L.held.erase(it);
        } else {
            ++it;
        }
    }
}

// Reads and handles every notification event queued now.
void drain_notifications(Live& L, char* buf)
{
    for (;;) {
        ssize_t len = real::read(L.notif_fd, buf, kReadBuffer);
        if (len <= 0) return;  // EAGAIN: all read
        auto* m = reinterpret_cast<const struct fanotify_event_metadata*>(buf);
        for (; FAN_EVENT_OK(m, len); m = FAN_EVENT_NEXT(m, len)) {
            if (m->vers != FANOTIFY_METADATA_VERSION) continue;
            if (m->fd >= 0) real::close(m->fd);  // not asked for; never expected
            notification_event(L, m);
        }
    }
}

// Reads and handles every permission event queued now. The notifications are
// read before each one: a process that waits in a permission event has made
// its earlier changes already (a close is reported before close returns), so
// its records keep their order; and a notification read at once is not
// merged with a later one of the same kind, as the kernel does to unread
// events (two closes of one file by one process would make one record).
void drain_permissions(Live& L, char* buf, char* notif_buf)
{
    for (;;) {
        drain_notifications(L, notif_buf);
        ssize_t len = real::read(L.perm_fd, buf, kReadBuffer);
        if (len <= 0) return;
        auto* m = reinterpret_cast<const struct fanotify_event_metadata*>(buf);
        for (; FAN_EVENT_OK(m, len); m = FAN_EVENT_NEXT(m, len)) {
            if (m->vers != FANOTIFY_METADATA_VERSION || m->fd < 0) continue;
            drain_notifications(L, notif_buf);
            permission_event(L, m);
        }
    }
}

void run(Live* lp)
{
    Live& L = *lp;
    // Aligned for the metadata records; one buffer for each group.
    std::unique_ptr<uint64_t[]> storage(new uint64_t[2 * kReadBuffer / sizeof(uint64_t)]);
    char* perm_buf = reinterpret_cast<char*>(storage.get());
    char* notif_buf = perm_buf + kReadBuffer;
    while (!L.stopping.load()) {
        struct pollfd fds[3] = {{L.perm_fd, POLLIN, 0}, {L.notif_fd, POLLIN, 0}, {L.wake_r, POLLIN, 0}};
        int r = real::poll(fds, 3, next_wait(L));
        if (L.stopping.load()) break;
        expire(L);
        if (r <= 0) continue;
        if (fds[0].revents & POLLIN)
            drain_permissions(L, perm_buf, notif_buf);
        else if (fds[1].revents & POLLIN)
            drain_notifications(L, notif_buf);
    }
}

// ---------------------------------------------------------------- safety checks

// The mountinfo line of the mount at dir (the topmost one), split.
struct MountLine {
    bool readable = false;
    bool found = false;
    std::string fstype, optional;
    unsigned major = 0, minor = 0;
    unsigned same_device = 0;  // mounts of the same file system
};

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape(const char* s)
{
    std::string out;
    for (; *s; s++) {
        if (s[0] == '\\' && s[1] >= '0' && s[1] <= '7' && s[2] >= '0' && s[2] <= '7' && s[3] >= '0' && s[3] <= '7') {
            out += (char)((s[1] - '0') * 64 + (s[2] - '0') * 8 + (s[3] - '0'));
            s += 3;
        } else {
            out += *s;
        }
    }
    return out;
}

// Reads a mountinfo file: the mount at dir (when dir is not empty) and how
// many mounts have the file system major:minor (of that mount, or the given
// one when dir is empty).
MountLine read_mountinfo(const char* file, const std::string& dir, unsigned major_in = 0, unsigned minor_in = 0)
{
    MountLine m;
    m.major = major_in;
    m.minor = minor_in;
    FILE* f = real::fopen(file, "r");
    if (!f) return m;
    m.readable = true;
    std::vector<std::pair<unsigned, unsigned>> devices;
    char line[8192];
    while (fgets(line, sizeof line, f)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        unsigned id, parent, major, minor;
        char root[4096], point[4096];
        int used = 0;
        if (sscanf(line, "%u %u %u:%u %4095s %4095s %n", &id, &parent, &major, &minor, root, point, &used) < 6)
            continue;
        devices.emplace_back(major, minor);
        if (dir.empty() || unescape(point) != dir) continue;
        const char* rest = line + used;
        const char* sep = strstr(rest, " - ");
        if (!sep) continue;
        // rest: "options [optional fields] - ..."
        const char* opt_end = strchr(rest, ' ');
        m.optional = opt_end && opt_end < sep ? std::string(opt_end, sep) : std::string();
        char fstype[256] = "";
        sscanf(sep + 3, "%255s", fstype);
        m.fstype = fstype;
        m.major = major;
        m.minor = minor;
        m.found = true;
    }
    fclose(f);
    for (auto& d : devices)
        if (d.first == m.major && d.second == m.minor) m.same_device++;
    return m;
}

std::string mnt_ns(pid_t pid)
{
    char link[64], target[128];
    snprintf(link, sizeof link, "/proc/%d/ns/mnt", (int)pid);
    ssize_t n = real::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
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

// The nearest ancestor that lives in another mount namespace (this process's
// namespace was made below it), or 0 when there is none that can be read.
pid_t outside_ancestor()
{
    std::string mine = mnt_ns(getpid());
    if (mine.empty()) return 0;
    for (pid_t p = parent_of(getpid()); p > 0; p = parent_of(p)) {
        std::string theirs = mnt_ns(p);
        if (theirs.empty()) return 0;  // unreadable: stop looking
        if (theirs != mine) return p;
        if (p == 1) break;
    }
    return 0;
}

int refuse(std::string* why, int err, const std::string& text)
{
    *why = text;
    return err;
}

int check_mount(const std::string& given, std::string* dir, std::string* why)
{
    if (given.empty() || given[0] != '/') return refuse(why, EINVAL, "mount must be an absolute path");
    char resolved[PATH_MAX];
    if (!realpath(given.c_str(), resolved)) return refuse(why, errno, given + ": " + strerror(errno));
    *dir = resolved;
    if (*dir == "/") return refuse(why, EPERM, "refusing to watch /");
    struct statfs fs;
    if (statfs(resolved, &fs) != 0) return refuse(why, errno, *dir + ": " + strerror(errno));
    if ((unsigned long)fs.f_type != (unsigned long)TMPFS_MAGIC) return refuse(why, EPERM, *dir + " is not a tmpfs");
    MountLine m = read_mountinfo("/proc/self/mountinfo", *dir);
    if (!m.found) return refuse(why, EPERM, *dir + " is not a mount point");
    if (m.fstype != "tmpfs") return refuse(why, EPERM, *dir + " is not a tmpfs mount");
    if (m.optional.find("shared:") != std::string::npos) return refuse(why, EPERM, *dir + " is a shared mount");
    if (m.same_device != 1) return refuse(why, EPERM, *dir + ": its file system is mounted elsewhere too");
    pid_t outside = outside_ancestor();
    if (!outside) return refuse(why, EPERM, "not in a private mount namespace of its own (run under unshare -m)");
    // Made in this namespace: the namespace it was made from does not have it.
    char outside_info[64];
    snprintf(outside_info, sizeof outside_info, "/proc/%d/mountinfo", (int)outside);
    MountLine there = read_mountinfo(outside_info, std::string(), m.major, m.minor);
    if (!there.readable || there.same_device != 0)
        return refuse(why, EPERM, *dir + ": its file system is mounted outside this mount namespace too");
    char buf[64];
    if (read_small("/proc/sys/fs/nr_open", buf, sizeof buf) && strtoll(buf, nullptr, 10) >= kSyntheticFdBase)
        return refuse(why, EPERM, "fs.nr_open reaches the synthetic descriptor numbers");
    return 0;
}

void close_fds_locked(Live& L)
{
    for (int* fd : {&L.perm_fd, &L.notif_fd, &L.mount_fd, &L.wake_r, &L.wake_w}) {
        if (*fd >= 0) real::close(*fd);
        *fd = -1;
    }
}

}  // namespace

// ---------------------------------------------------------------- interface

int start(const Options& options, std::string* why)
{
    Live& L = live();
    std::lock_guard<std::mutex> control(L.control);
    {
        std::lock_guard<std::mutex> lock(L.mu);
        if (L.on) return refuse(why, EBUSY, "live mode is on already (sim.live(false) first)");
    }
    if (options.timeout_ms < 1 || options.timeout_ms > kMaxTimeoutMs)
        return refuse(why, EINVAL, "timeout_ms must be 1.." + std::to_string(kMaxTimeoutMs));
    std::string dir;
    if (int err = check_mount(options.mount, &dir, why)) return err;

    int perm = -1, notif = -1, mount_fd = -1, wake[2] = {-1, -1};
    bool rename = true;
    auto fail = [&](int err, const std::string& what) {
        for (int fd : {perm, notif, mount_fd, wake[0], wake[1]})
            if (fd >= 0) real::close(fd);
        return refuse(why, err, what + ": " + strerror(err));
    };
    const unsigned perm_flags = FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK;
    perm = fanotify_init(perm_flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (perm < 0) return fail(errno, "fanotify_init(FAN_CLASS_CONTENT)");
    if (fanotify_mark(perm, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_EXEC_PERM | FAN_OPEN_PERM, AT_FDCWD,
                      dir.c_str()) != 0)
        return fail(errno, "fanotify_mark(FAN_MARK_MOUNT, FAN_OPEN_EXEC_PERM | FAN_OPEN_PERM)");
    const unsigned notif_flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME;
    notif = fanotify_init(notif_flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (notif < 0) return fail(errno, "fanotify_init(FAN_REPORT_DFID_NAME)");
    const uint64_t base = FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_DELETE;
    if (fanotify_mark(notif, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, base | FAN_RENAME, AT_FDCWD, dir.c_str()) != 0) {
        if (errno != EINVAL) return fail(errno, "fanotify_mark(FAN_MARK_FILESYSTEM)");
        rename = false;
        if (fanotify_mark(notif, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, base | FAN_MOVED_FROM | FAN_MOVED_TO, AT_FDCWD,
                          dir.c_str()) != 0)
            return fail(errno, "fanotify_mark(FAN_MARK_FILESYSTEM)");
    }
    mount_fd = real::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (mount_fd < 0) return fail(errno, "open(" + dir + ")");
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(errno, "pipe2");

    {
        std::lock_guard<std::mutex> lock(L.mu);
        L.opt = options;
        L.opt.mount = dir;
        L.perm_fd = perm;
        L.notif_fd = notif;
        L.mount_fd = mount_fd;
        L.wake_r = wake[0];
        L.wake_w = wake[1];
        L.rename_event = rename;
        L.self = getpid();
        L.held.clear();
        L.exec_followup.clear();
        L.sessions.clear();
        L.session_count = 0;
        L.missed = 0;
        L.moved_pid = 0;
        L.moved_from.clear();
        L.c = Counters{};
        L.on = true;
    }
    L.stopping.store(false);
    g_ever.store(true);
    g_on.store(true);
    L.reader = std::thread(run, &L);
    return 0;
}

unsigned stop()
{
    Live& L = live();
    std::lock_guard<std::mutex> control(L.control);
    {
        std::lock_guard<std::mutex> lock(L.mu);
        if (!L.on) return 0;
    }
    L.stopping.store(true);
    char c = 1;
    ssize_t w = write(L.wake_w, &c, 1);
    (void)w;
    if (L.reader.joinable()) L.reader.join();
    std::lock_guard<std::mutex> lock(L.mu);
    unsigned n = 0;
    for (auto& h : L.held) {
        respond_locked(L, h.second.event_fd, true);
        n++;
    }
    L.c.stopped += n;
    L.held.clear();
    L.exec_followup.clear();
    L.sessions.clear();
    L.session_count = 0;
    close_fds_locked(L);
    L.on = false;
    g_on.store(false);
    return n;
}

Status status()
{
    Live& L = live();
    std::lock_guard<std::mutex> lock(L.mu);
    Status s;
    s.on = L.on;
    s.mount = L.opt.mount;
    s.timeout_ms = L.opt.timeout_ms;
    s.handle = L.opt.handle;
    s.rename_event = L.rename_event;
    s.held = L.held.size();
    s.sessions = L.session_count;
    s.counters = L.c;
    return s;
}

void on_reply(uint32_t id, uint32_t code)
{
    if (!g_on.load()) return;
    Live& L = live();
    std::unique_ptr<ac_event_record> post;
    {
        std::lock_guard<std::mutex> lock(L.mu);
        if (!L.on) return;
        auto it = L.held.find(id);
        if (it == L.held.end()) return;
        Held& h = it->second;
        L.c.replied++;
        bool block = (code & kReplyCodeMask) == kReplyBlock;
        if (block || !h.post) {
            if (block && h.exec) L.exec_followup.erase(h.pid);  // no open follows a refused exec
            L.c.held_us += (uint64_t)(now_us() - h.read_us);
            L.c.reader_us += (uint64_t)h.reader_us;
            respond_locked(L, h.event_fd, !block);
            L.held.erase(it);
            return;
        }
        // A write open that was allowed: its open-post goes out under a new
        // id with a new synthetic descriptor, and the open stays held (with
        // its first deadline) until that record's reply.
        post = std::move(h.post);
        int32_t fd = new_fd_locked(L, h.pid, h.path);
        L.sessions[{h.pid, h.path}].push_back(fd);
        L.session_count++;
        prune_sessions_locked(L);
        post->fd = fd;
        post->rc = fd;
        Held next = std::move(h);
        L.held.erase(it);
        uint32_t nid = new_id_locked(L);
        post->id = nid;
        L.held.emplace(nid, std::move(next));
    }
    uint32_t nid = post->id;
    if (queue(L, post.get())) return;
    std::lock_guard<std::mutex> lock(L.mu);
    auto it = L.held.find(nid);
    if (it == L.held.end()) return;
    respond_locked(L, it->second.event_fd, true);
    L.held.erase(it);
}

bool readlink_synthetic(const char* path, char* buf, size_t size, ssize_t* result)
{
    if (!g_ever.load(std::memory_order_relaxed) || !path || strncmp(path, "/proc/", 6) != 0) return false;
    const char* p = path + 6;
    char* end;
    long pid = strtol(p, &end, 10);
    if (end == p || pid <= 0 || strncmp(end, "/fd/", 4) != 0) return false;
    p = end + 4;
    long fd = strtol(p, &end, 10);
    if (end == p || *end != '\0' || fd < kSyntheticFdBase || fd > INT32_MAX) return false;
    Live& L = live();
    std::lock_guard<std::mutex> lock(L.mu);
    auto it = L.synthetic.find((int32_t)fd);
    if (it == L.synthetic.end() || it->second.pid != (pid_t)pid) {
        errno = ENOENT;
        *result = -1;
        return true;
    }
    const std::string& target = it->second.path;
    size_t n = target.size() < size ? target.size() : size;
    memcpy(buf, target.data(), n);
    *result = (ssize_t)n;
    return true;
}

}  // namespace sim::live
