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
#include "live_mount_check.h"
#include "live_proc.h"
#include "real_libc.h"

namespace sim::live {
namespace {

constexpr uint32_t kReplyBlock = 3;        // REPLY_BLOCK
constexpr uint32_t kReplyCodeMask = 0x7F;  // the 0x80 flag only asks for eta
constexpr size_t kMaxSessions = 4096;      // write opens waiting for their close
constexpr size_t kMaxSynthetic = 4096;     // synthetic descriptors readlink still answers
constexpr size_t kReadBuffer = 64 * 1024;

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

void respond_locked(Live& state, int event_fd, bool allow)
{
    struct fanotify_response r;
    r.fd = event_fd;
    r.response = allow ? FAN_ALLOW : FAN_DENY;
    ssize_t w = write(state.perm_fd, &r, sizeof r);
    (void)w;  // a failed answer leaves the kernel to allow it when the group closes
    real::close(event_fd);
    if (allow)
        state.c.allowed++;
    else
        state.c.denied++;
}

uint32_t new_id_locked(Live& state)
{
    uint32_t id;
    do {
        id = state.next_id++;
        if (state.next_id < kFirstId) state.next_id = kFirstId;
    } while (state.held.count(id));
    return id;
}

int32_t new_fd_locked(Live& state, pid_t pid, const std::string& path)
{
    int32_t fd = state.next_fd++;
    if (state.next_fd < kSyntheticFdBase) state.next_fd = kSyntheticFdBase;
    state.synthetic[fd] = Synthetic{pid, path};
    state.synthetic_order.push_back(fd);
    while (state.synthetic_order.size() > kMaxSynthetic) {
        state.synthetic.erase(state.synthetic_order.front());
        state.synthetic_order.pop_front();
    }
    return fd;
}

// Forgets write opens of processes that have gone, or all of them when that
// is not enough (their closes then count as untracked).
void prune_sessions_locked(Live& state)
{
    if (state.session_count < kMaxSessions) return;
    for (auto it = state.sessions.begin(); it != state.sessions.end();) {
        if (kill(it->first.first, 0) != 0 && errno == ESRCH) {
            state.session_count -= it->second.size();
            it = state.sessions.erase(it);
        } else {
            ++it;
        }
    }
    if (state.session_count >= kMaxSessions) {
        state.sessions.clear();
        state.session_count = 0;
    }
}

// Queues a record (giving it an id when it has none); false when no handle
// took it.
bool queue(Live& state, ac_event_record* rec)
{
    unsigned handle;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        handle = state.opt.handle;
        if (!rec->id) rec->id = new_id_locked(state);
        if (state.missed) {
            rec->missed = state.missed;
            state.missed = 0;
        }
    }
    int err = push(handle, rec, sizeof *rec);
    std::lock_guard<std::mutex> lock(state.mu);
    if (err) {
        state.c.unqueued++;
        return false;
    }
    state.c.records++;
    switch (rec->type) {
    case EVENT_EXECVE_PRE: state.c.exec_pre++; break;
    case EVENT_OPEN_PRE: state.c.open_pre++; break;
    case EVENT_OPEN_POST: state.c.open_post++; break;
    case EVENT_CLOSE_PRE: state.c.close_pre++; break;
    case EVENT_CHMOD_POST: state.c.chmod_post++; break;
    case EVENT_RENAME_POST: state.c.rename_post++; break;
    case EVENT_UNLINK_POST: state.c.unlink_post++; break;
    default: break;
    }
    return true;
}

// Holds a permission event under a new id written into rec, queues rec, and
// allows the event at once when no handle takes it.
void hold_and_queue(Live& state, Held h, ac_event_record* rec)
{
    h.reader_us = now_us() - h.read_us;  // the record is ready
    uint32_t id;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        id = new_id_locked(state);
        rec->id = id;
        state.held.emplace(id, std::move(h));
    }
    if (queue(state, rec)) return;
    std::lock_guard<std::mutex> lock(state.mu);
    auto it = state.held.find(id);
    if (it == state.held.end()) return;  // answered meanwhile
    state.exec_followup.erase(it->second.pid);
    respond_locked(state, it->second.event_fd, true);
    state.held.erase(it);
}

// ---------------------------------------------------------------- permission events

void permission_event(Live& state, const struct fanotify_event_metadata* m)
{
    const int64_t read_us = now_us();
    const pid_t pid = m->pid;  // the process (fanotify reports the thread group)
    const bool exec = m->mask & FAN_OPEN_EXEC_PERM;
    struct stat st;
    bool have_stat = fstat(m->fd, &st) == 0;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.perm_events++;
        if (!exec) {
            auto it = state.exec_followup.find(pid);
            if (it != state.exec_followup.end()) {
                bool same = have_stat && it->second.first == st.st_dev && it->second.second == st.st_ino;
                state.exec_followup.erase(it);
                if (same) {
                    state.c.followups++;
                    respond_locked(state, m->fd, true);
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
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.followups++;
        respond_locked(state, m->fd, true);
        return;
    }
    auto rec = new_record(exec ? EVENT_EXECVE_PRE : EVENT_OPEN_PRE, tid, p);
    set_name(rec->name, &rec->name_len, path);
    rec->flags = flags;
    rec->mode = mode;
    if (pid == state.self) {
        // The engine's own process: never wait for ourselves. The record still
        // goes to the engine, which answers it as an own event.
        {
            std::lock_guard<std::mutex> lock(state.mu);
            state.c.own++;
            respond_locked(state, m->fd, true);
        }
        queue(state, rec.get());
        return;
    }
    Held h;
    h.read_us = read_us;
    h.event_fd = m->fd;
    h.pid = pid;
    h.exec = exec;
    h.path = path;
    if (exec) {
        std::lock_guard<std::mutex> lock(state.mu);
        if (have_stat) state.exec_followup[pid] = {st.st_dev, st.st_ino};
        h.deadline = now_ms() + state.opt.timeout_ms;
    } else {
        std::lock_guard<std::mutex> lock(state.mu);
        h.deadline = now_ms() + state.opt.timeout_ms;
        if (call == Call::unknown) state.c.unknown_flags++;
    }
    if (!exec && (flags & O_ACCMODE) != O_RDONLY) {
        h.post = new_record(EVENT_OPEN_POST, tid, p);
        set_name(h.post->name, &h.post->name_len, path);
        h.post->flags = flags;
        h.post->mode = mode;
    }
    hold_and_queue(state, std::move(h), rec.get());
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

std::string handle_path(Live& state, const struct fanotify_event_info_fid* info, const char** name)
{
    auto* fh = reinterpret_cast<struct file_handle*>(const_cast<unsigned char*>(info->handle));
    *name = reinterpret_cast<const char*>(fh->f_handle + fh->handle_bytes);
    int fd = open_by_handle_at(state.mount_fd, fh, O_PATH | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string dir = fd_path(fd);
    real::close(fd);
    return dir;
}

// raw: the record's bytes, of which m is the aligned copy of the head.
Names event_names(Live& state, const struct fanotify_event_metadata* m, const char* raw)
{
    Names out;
    const char* p = raw + m->metadata_len;
    const char* end = raw + m->event_len;
    while (p + sizeof(struct fanotify_event_info_header) <= end) {
        auto* hdr = reinterpret_cast<const struct fanotify_event_info_header*>(p);
        if (hdr->len == 0 || p + hdr->len > end) break;
        if (hdr->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME || hdr->info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
            hdr->info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME) {
            const char* name = "";
            std::string dir = handle_path(state, reinterpret_cast<const struct fanotify_event_info_fid*>(p), &name);
            std::string path = join(dir, name);
            if (hdr->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) out.name = path;
            else if (hdr->info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME) out.old_name = path;
            else out.new_name = path;
        }
        p += hdr->len;
    }
    return out;
}

void rename_known_locked(Live& state, const std::string& from, const std::string& to)
{
    for (auto& s : state.synthetic)
        if (s.second.path == from) s.second.path = to;
    std::vector<std::pair<pid_t, std::deque<int32_t>>> moved;
    for (auto it = state.sessions.begin(); it != state.sessions.end();) {
        if (it->first.second == from) {
            moved.emplace_back(it->first.first, std::move(it->second));
            it = state.sessions.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& m : moved) {
        auto& q = state.sessions[{m.first, to}];
        q.insert(q.end(), m.second.begin(), m.second.end());
    }
}

void rename_record(Live& state, pid_t tid, const ProcInfo& p, const std::string& from, const std::string& to)
{
    if (from.empty() || to.empty()) return;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        rename_known_locked(state, from, to);
    }
    auto rec = new_record(EVENT_RENAME_POST, tid, p);
    set_name(rec->name, &rec->name_len, to);
    set_name(rec->oldname, &rec->oldname_len, from);
    queue(state, rec.get());
}

void notification_event(Live& state, const struct fanotify_event_metadata* m, const char* raw)
{
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.notify_events++;
        if (m->mask & FAN_Q_OVERFLOW) {
            state.c.overflows++;
            state.missed++;
            return;
        }
    }
    const pid_t pid = m->pid, tid = m->pid;  // the thread is not known here
    ProcInfo p = proc_info(pid);
    Names n = event_names(state, m, raw);
    if ((m->mask & FAN_ATTRIB) && !n.name.empty()) {
        auto rec = new_record(EVENT_CHMOD_POST, tid, p);
        struct stat st;
        if (lstat(n.name.c_str(), &st) == 0) rec->mode = st.st_mode;
        set_name(rec->name, &rec->name_len, n.name);
        queue(state, rec.get());
    }
    if ((m->mask & FAN_CLOSE_WRITE) && !n.name.empty()) {
        auto rec = new_record(EVENT_CLOSE_PRE, tid, p);
        {
            std::lock_guard<std::mutex> lock(state.mu);
            auto it = state.sessions.find({pid, n.name});
            if (it != state.sessions.end() && !it->second.empty()) {
                rec->fd = it->second.front();
                it->second.pop_front();
                state.session_count--;
                if (it->second.empty()) state.sessions.erase(it);
            } else {
                rec->fd = new_fd_locked(state, pid, n.name);  // an untracked descriptor
            }
        }
        queue(state, rec.get());
    }
    if (m->mask & FAN_RENAME) rename_record(state, tid, p, n.old_name, n.new_name);
    if (m->mask & FAN_MOVED_FROM) {
        std::lock_guard<std::mutex> lock(state.mu);
        state.moved_pid = tid;
        state.moved_from = n.name;
    }
    if (m->mask & FAN_MOVED_TO) {
        std::string from;
        {
            std::lock_guard<std::mutex> lock(state.mu);
            if (state.moved_pid == tid) from.swap(state.moved_from);
            state.moved_pid = 0;
        }
        rename_record(state, tid, p, from, n.name);
    }
    if ((m->mask & FAN_DELETE) && !n.name.empty()) {
        {
            std::lock_guard<std::mutex> lock(state.mu);
            for (auto& s : state.synthetic)
                if (s.second.path == n.name) s.second.path += " (deleted)";
        }
        auto rec = new_record(EVENT_UNLINK_POST, tid, p);
        set_name(rec->name, &rec->name_len, n.name);
        queue(state, rec.get());
    }
}

// ---------------------------------------------------------------- the reader thread

int next_wait(Live& state)
{
    std::lock_guard<std::mutex> lock(state.mu);
    if (state.held.empty()) return -1;
    int64_t first = INT64_MAX;
    for (auto& h : state.held) first = h.second.deadline < first ? h.second.deadline : first;
    int64_t left = first - now_ms();
    return left <= 0 ? 0 : (int)(left > INT_MAX ? INT_MAX : left);
}

void expire(Live& state)
{
    int64_t now = now_ms();
    std::lock_guard<std::mutex> lock(state.mu);
    for (auto it = state.held.begin(); it != state.held.end();) {
        if (it->second.deadline <= now) {
            state.c.timeouts++;
            state.exec_followup.erase(it->second.pid);
            respond_locked(state, it->second.event_fd, true);
            it = state.held.erase(it);
        } else {
            ++it;
        }
    }
}

// The record at raw, its head copied into *head: records with names are
// padded to 4 bytes only, so a head in the buffer may be misaligned for its
// 64-bit mask. Null when no whole record is left.
const char* next_event(const char* raw, const char* end, struct fanotify_event_metadata* head)
{
    if (end - raw < (ptrdiff_t)sizeof *head) return nullptr;
    memcpy(head, raw, sizeof *head);
    if (head->event_len < sizeof *head || head->event_len > (size_t)(end - raw)) return nullptr;
    return raw;
}

// Reads and handles every notification event queued now.
void drain_notifications(Live& state, char* buf)
{
    for (;;) {
        ssize_t len = real::read(state.notif_fd, buf, kReadBuffer);
        if (len <= 0) return;  // EAGAIN: all read
        struct fanotify_event_metadata head;
        for (const char* raw = buf; (raw = next_event(raw, buf + len, &head)); raw += head.event_len) {
            if (head.vers != FANOTIFY_METADATA_VERSION) continue;
            if (head.fd >= 0) real::close(head.fd);  // not asked for; never expected
            notification_event(state, &head, raw);
        }
    }
}

// Reads and handles every permission event queued now. The notifications are
// read before each one: a process that waits in a permission event has made
// its earlier changes already (a close is reported before close returns), so
// its records keep their order; and a notification read at once is not
// merged with a later one of the same kind, as the kernel does to unread
// events (two closes of one file by one process would make one record).
void drain_permissions(Live& state, char* buf, char* notif_buf)
{
    for (;;) {
        drain_notifications(state, notif_buf);
        ssize_t len = real::read(state.perm_fd, buf, kReadBuffer);
        if (len <= 0) return;
        struct fanotify_event_metadata head;
        for (const char* raw = buf; (raw = next_event(raw, buf + len, &head)); raw += head.event_len) {
            if (head.vers != FANOTIFY_METADATA_VERSION || head.fd < 0) continue;
            drain_notifications(state, notif_buf);
            permission_event(state, &head);
        }
    }
}

void run(Live* lp)
{
    Live& state = *lp;
    // Aligned for the metadata records; one buffer for each group.
    std::unique_ptr<uint64_t[]> storage(new uint64_t[2 * kReadBuffer / sizeof(uint64_t)]);
    char* perm_buf = reinterpret_cast<char*>(storage.get());
    char* notif_buf = perm_buf + kReadBuffer;
    while (!state.stopping.load()) {
        struct pollfd fds[3] = {{state.perm_fd, POLLIN, 0}, {state.notif_fd, POLLIN, 0}, {state.wake_r, POLLIN, 0}};
        int r = real::poll(fds, 3, next_wait(state));
        if (state.stopping.load()) break;
        expire(state);
        if (r <= 0) continue;
        if (fds[0].revents & POLLIN)
            drain_permissions(state, perm_buf, notif_buf);
        else if (fds[1].revents & POLLIN)
            drain_notifications(state, notif_buf);
    }
}

void close_fds_locked(Live& state)
{
    for (int* fd : {&state.perm_fd, &state.notif_fd, &state.mount_fd, &state.wake_r, &state.wake_w}) {
        if (*fd >= 0) real::close(*fd);
        *fd = -1;
    }
}

}  // namespace

// ---------------------------------------------------------------- interface

int start(const Options& options, std::string* why)
{
    Live& state = live();
    std::lock_guard<std::mutex> control(state.control);
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (state.on) return refuse(why, EBUSY, "live mode is on already (sim.live(false) first)");
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
        std::lock_guard<std::mutex> lock(state.mu);
        state.opt = options;
        state.opt.mount = dir;
        state.perm_fd = perm;
        state.notif_fd = notif;
        state.mount_fd = mount_fd;
        state.wake_r = wake[0];
        state.wake_w = wake[1];
        state.rename_event = rename;
        state.self = getpid();
        state.held.clear();
        state.exec_followup.clear();
        state.sessions.clear();
        state.session_count = 0;
        state.missed = 0;
        state.moved_pid = 0;
        state.moved_from.clear();
        state.c = Counters{};
        state.on = true;
    }
    state.stopping.store(false);
    g_ever.store(true);
    g_on.store(true);
    state.reader = std::thread(run, &state);
    return 0;
}

unsigned stop()
{
    Live& state = live();
    std::lock_guard<std::mutex> control(state.control);
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (!state.on) return 0;
    }
    state.stopping.store(true);
    char c = 1;
    ssize_t w = write(state.wake_w, &c, 1);
    (void)w;
    if (state.reader.joinable()) state.reader.join();
    std::lock_guard<std::mutex> lock(state.mu);
    unsigned n = 0;
    for (auto& h : state.held) {
        respond_locked(state, h.second.event_fd, true);
        n++;
    }
    state.c.stopped += n;
    state.held.clear();
    state.exec_followup.clear();
    state.sessions.clear();
    state.session_count = 0;
    close_fds_locked(state);
    state.on = false;
    g_on.store(false);
    return n;
}

Status status()
{
    Live& state = live();
    std::lock_guard<std::mutex> lock(state.mu);
    Status s;
    s.on = state.on;
    s.mount = state.opt.mount;
    s.timeout_ms = state.opt.timeout_ms;
    s.handle = state.opt.handle;
    s.rename_event = state.rename_event;
    s.held = state.held.size();
    s.sessions = state.session_count;
    s.counters = state.c;
    return s;
}

void on_reply(uint32_t id, uint32_t code)
{
    if (!g_on.load()) return;
    Live& state = live();
    std::unique_ptr<ac_event_record> post;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (!state.on) return;
        auto it = state.held.find(id);
        if (it == state.held.end()) return;
        Held& h = it->second;
        state.c.replied++;
        bool block = (code & kReplyCodeMask) == kReplyBlock;
        if (block || !h.post) {
            if (block && h.exec) state.exec_followup.erase(h.pid);  // no open follows a refused exec
            state.c.held_us += (uint64_t)(now_us() - h.read_us);
            state.c.reader_us += (uint64_t)h.reader_us;
            respond_locked(state, h.event_fd, !block);
            state.held.erase(it);
            return;
        }
        // A write open that was allowed: its open-post goes out under a new
        // id with a new synthetic descriptor, and the open stays held (with
        // its first deadline) until that record's reply.
        post = std::move(h.post);
        int32_t fd = new_fd_locked(state, h.pid, h.path);
        state.sessions[{h.pid, h.path}].push_back(fd);
        state.session_count++;
        prune_sessions_locked(state);
        post->fd = fd;
        post->rc = fd;
        Held next = std::move(h);
        state.held.erase(it);
        uint32_t nid = new_id_locked(state);
        post->id = nid;
        state.held.emplace(nid, std::move(next));
    }
    uint32_t nid = post->id;
    if (queue(state, post.get())) return;
    std::lock_guard<std::mutex> lock(state.mu);
    auto it = state.held.find(nid);
    if (it == state.held.end()) return;
    respond_locked(state, it->second.event_fd, true);
    state.held.erase(it);
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
    Live& state = live();
    std::lock_guard<std::mutex> lock(state.mu);
    auto it = state.synthetic.find((int32_t)fd);
    if (it == state.synthetic.end() || it->second.pid != (pid_t)pid) {
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
