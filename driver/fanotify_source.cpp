// The fanotify source: its reader thread, the engine threads' stand-by,
// start, stop and status
// (fanotify_source.h).
#include "fanotify_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
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
#include "group_keeper.h"
#include "machine.h"
#include "mount_check.h"
#include "mounts.h"
#include "proc_identity.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {

Source& source()
{
    static Source* s = new Source;  // never destroyed: the reader may outlive exit handlers
    return *s;
}

std::atomic<bool> g_on{false};
std::atomic<bool> g_ever{false};

namespace {


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
void drain_notifications(Source& state, char* buf)
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

// The notification buffer of the batch this thread handles, while the
// notifications queued before the batch are still unread.
thread_local char* t_unread = nullptr;
thread_local bool t_several = false;

// Reads and handles every permission event queued now. A batch's
// notifications are read before its first record (notifications_first): a
// process that waits in a permission event has made its earlier changes
// already (a close is reported before close returns), so its records keep
// their order; a batch of opens the driver answers makes none and leaves
// them to the notification group's own wake-up. Batches are read one
// thread at a time (the intake lock) and handled in parallel: each event's
// process is held until it is answered, so nothing of its own can come
// between.
bool drain_permissions(Source& state, char* buf, char* notif_buf)
{
    for (bool read = false;; read = true) {
        ssize_t len;
        {
            std::lock_guard<std::mutex> in(state.intake);
            if (state.stopping.load()) return true;  // stop() closes the groups next
            len = real::read(state.perm_fd, buf, kReadBuffer);
            if (len <= 0) return read;
            state.handling++;
        }
        t_unread = notif_buf;
        struct fanotify_event_metadata head;
        t_several = next_event(buf, buf + len, &head) && head.event_len < (size_t)len;
        for (const char* raw = buf; (raw = next_event(raw, buf + len, &head)); raw += head.event_len) {
            if (head.vers != FANOTIFY_METADATA_VERSION || head.fd < 0) continue;
            permission_event(state, &head);
        }
        t_unread = nullptr;
        t_several = false;
        state.handling--;
        // The queue was emptied by that read: later events wake a waiting
        // thread (or find every ready list marked), so none is left unread.
        if (len < (ssize_t)(kReadBuffer / 2)) return true;
    }
}

// Reads the notifications queued now (after the permission events, when
// both groups are ready).
void intake_events(Source& state, char* perm_buf, char* notif_buf, bool perm, bool notif)
{
    if (perm && drain_permissions(state, perm_buf, notif_buf) && !notif) return;
    if (!notif) return;
    std::lock_guard<std::mutex> in(state.intake);
    if (!state.stopping.load()) drain_notifications(state, notif_buf);
}

enum Ready : uint32_t { kPerm = 1, kNotif = 2, kWake = 4, kTable = 8 };

// The reader's epoll set. The permission group is an exclusive entry, entered
// again behind each engine thread's (join_standby), so that a waiting engine
// thread is woken first.
int reader_set(const Source& state)
{
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return -1;
    struct {
        int fd;
        uint32_t events, tag;
    } in[] = {{state.perm_fd, EPOLLIN | EPOLLEXCLUSIVE, kPerm},
              {state.notif_fd, EPOLLIN | EPOLLEXCLUSIVE, kNotif},
              {state.wake_r, EPOLLIN, kWake},
              {state.host.table_fd, EPOLLPRI, kTable}};  // -1 unless mounts are followed
    for (auto& e : in) {
        struct epoll_event ev = {};
        ev.events = e.events;
        ev.data.u32 = e.tag;
        if (e.fd >= 0 && epoll_ctl(ep, EPOLL_CTL_ADD, e.fd, &ev) != 0) {
            real::close(ep);
            return -1;
        }
    }
    return ep;
}

// Buffers for one thread's reads, aligned for the metadata records: one for
// each group. Allocated once per thread.
char* read_buffers()
{
    thread_local std::unique_ptr<uint64_t[]> storage;
    if (!storage) storage.reset(new uint64_t[2 * kReadBuffer / sizeof(uint64_t)]);
    return reinterpret_cast<char*>(storage.get());
}

void run(Source* lp)
{
    Source& state = *lp;
    t_reader = true;
    char* perm_buf = read_buffers();
    char* notif_buf = perm_buf + kReadBuffer;
    while (!state.stopping.load()) {
        struct epoll_event evs[4];
        int r = epoll_wait(state.reader_epfd, evs, 4, next_wait(state));
        if (state.stopping.load()) break;
        expire(state);
        uint32_t ready = 0;
        for (int i = 0; i < r; i++) ready |= evs[i].data.u32;
        if (ready & kWake) {
            char drain[64];
            while (real::read(state.wake_r, drain, sizeof drain) > 0) {
            }
        }
        if (ready & kTable) {
            std::lock_guard<std::mutex> in(state.intake);  // notifications read the file systems it changes
            follow_mounts(state);
        }
        intake_events(state, perm_buf, notif_buf, ready & kPerm, ready & kNotif);
    }
}

void close_fds_locked(Source& state)
{
    for (int* fd : {&state.perm_fd, &state.notif_fd, &state.mount_fd, &state.wake_r, &state.wake_w, &state.reader_epfd}) {
        if (*fd >= 0) real::close(*fd);
        *fd = -1;
    }
    close_host_mounts(&state.host);
    state.watched.clear();
}

// A read lease taken to tell a reader (permission_events.cpp) makes this
// process the file's owner: a writer that breaks it in that moment sends
// SIGIO, whose default ends the process.
void ignore_lease_breaks()
{
    struct sigaction sa;
    if (sigaction(SIGIO, nullptr, &sa) == 0 && !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == SIG_DFL)
        signal(SIGIO, SIG_IGN);
}

}  // namespace

// ---------------------------------------------------------------- interface

int start(const Options& options, std::string* why)
{
    Source& state = source();
    std::lock_guard<std::mutex> control(state.control);
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (state.on) return refuse(why, EBUSY, "fanotify source is on already (sim.live(false) first)");
    }
    if (options.timeout_ms < 1 || options.timeout_ms > kMaxTimeoutMs)
        return refuse(why, EINVAL, "timeout_ms must be 1.." + std::to_string(kMaxTimeoutMs));
    std::string dir;
    int err = options.host ? 0 : check_mount(options.mount, &dir, why);
    if (err) return err;
    std::vector<std::pair<dev_t, ino_t>> exempt;
    if (int err = exempt_ids(options.exempt, &exempt, why)) return err;

    load_proc_readers();
    ignore_lease_breaks();
    int perm = -1, notif = -1, mount_fd = -1, wake[2] = {-1, -1};
    bool rename = true;
    HostMounts host;
    auto fail = [&](int err, const std::string& what) {
        for (int fd : {perm, notif, mount_fd, wake[0], wake[1]})
            if (fd >= 0) real::close(fd);
        close_host_mounts(&host);
        return refuse(why, err, what.empty() ? *why : what + ": " + strerror(err));
    };
    const unsigned perm_flags = FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK;
    perm = fanotify_init(perm_flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (perm < 0) return fail(errno, "fanotify_init(FAN_CLASS_CONTENT)");
    // The file system, not the mount: a copy of the mount in another mount
    // namespace, or a bind mount of one of its files, is another mount. Safe
    // here: the tmpfs was made in this private namespace (check_mount).
    if (!options.host && fanotify_mark(perm, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN_EXEC_PERM | FAN_OPEN_PERM,
                                       AT_FDCWD, dir.c_str()) != 0)
        return fail(errno, "fanotify_mark(FAN_MARK_FILESYSTEM, FAN_OPEN_EXEC_PERM | FAN_OPEN_PERM)");
    const unsigned notif_flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME;
    notif = fanotify_init(notif_flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (notif < 0) return fail(errno, "fanotify_init(FAN_REPORT_DFID_NAME)");
    const uint64_t base = FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_DELETE;
    if (!options.host &&
        fanotify_mark(notif, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, base | FAN_RENAME, AT_FDCWD, dir.c_str()) != 0) {
        if (errno != EINVAL) return fail(errno, "fanotify_mark(FAN_MARK_FILESYSTEM)");
        rename = false;
        if (fanotify_mark(notif, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, base | FAN_MOVED_FROM | FAN_MOVED_TO, AT_FDCWD,
                          dir.c_str()) != 0)
            return fail(errno, "fanotify_mark(FAN_MARK_FILESYSTEM)");
    }
    if (options.host && (err = watch_host_mounts(&host, perm, notif, options, &rename, why))) return fail(err, "");
    mount_fd = options.host ? -1 : real::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (!options.host && mount_fd < 0) return fail(errno, "open(" + dir + ")");
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(errno, "pipe2");
    if (int err = start_keeper(notif)) return fail(err, "fork");

    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.opt = options;
        state.opt.mount = dir;
        state.perm_fd = perm;
        state.notif_fd = notif;
        state.mount_fd = mount_fd;
        state.host = std::move(host);
        state.watched = options.host ? watched_points(state.host) : std::vector<std::string>();
        state.wake_r = wake[0];
        state.wake_w = wake[1];
        state.rename_event = rename;
        state.exempt = std::move(exempt);
        state.self = getpid();
        state.held.clear();
        state.exec_followup.clear();
        state.sessions.clear();
        state.awaited.clear();
        state.session_count = 0;
        state.missed = 0;
        state.moved_pid = 0;
        state.moved_from.clear();
        state.c = Counters{};
        state.on = true;
    }
    state.reader_epfd = reader_set(state);
    if (state.reader_epfd < 0) {
        int err = errno;
        std::lock_guard<std::mutex> lock(state.mu);
        close_fds_locked(state);
        state.on = false;
        stop_keeper();
        return refuse(why, err, std::string("epoll: ") + strerror(err));
    }
    state.stopping.store(false);
    g_ever.store(true);
    g_on.store(true);
    state.generation++;
    state.standby.store(options.host && options.handle == 0);
    state.reader = std::thread(run, &state);
    return 0;
}

unsigned stop()
{
    Source& state = source();
    std::lock_guard<std::mutex> control(state.control);
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (!state.on) return 0;
    }
    state.stopping.store(true);
    state.standby.store(false);
    char c = 1;
    ssize_t w = write(state.wake_w, &c, 1);
    (void)w;
    if (state.reader.joinable()) state.reader.join();
    // No batch is read from here on (a reader checks stopping under the
    // intake lock); the batches read before are waited for without it, as
    // their handling may need it (notifications_first).
    state.intake.lock();
    state.intake.unlock();
    while (state.handling.load()) std::this_thread::yield();
    std::lock_guard<std::mutex> in(state.intake);
    std::lock_guard<std::mutex> lock(state.mu);
    while (state.answering.load()) std::this_thread::yield();  // answers written outside the lock
    unsigned n = 0;
    for (auto& h : state.held) {
        respond_locked(state, h.second.event_fd, true);
        n++;
    }
    state.c.stopped += n;
    state.held.clear();
    state.exec_followup.clear();
    state.sessions.clear();
    state.awaited.clear();
    state.session_count = 0;
    close_fds_locked(state);
    forget_processes();
    state.on = false;
    g_on.store(false);
    stop_keeper();  // once the permission group is closed
    return n;
}

bool standby_on()
{
    return source().standby.load(std::memory_order_relaxed);
}

unsigned standby_generation()
{
    return source().generation.load(std::memory_order_relaxed);
}

unsigned join_standby(int epfd)
{
    Source& state = source();
    std::lock_guard<std::mutex> in(state.intake);  // not while stop() closes the groups
    if (!state.standby.load()) return 0;
    for (auto group : {std::make_pair(state.perm_fd, kPerm), std::make_pair(state.notif_fd, kNotif)}) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.u32 = group.second;
        if (epoll_ctl(epfd, EPOLL_CTL_ADD, group.first, &ev) != 0 && errno != EEXIST) return 0;
        // The reader's entry goes behind this one.
        epoll_ctl(state.reader_epfd, EPOLL_CTL_DEL, group.first, nullptr);
        epoll_ctl(state.reader_epfd, EPOLL_CTL_ADD, group.first, &ev);
    }
    return state.generation.load();
}

void intake(uint32_t ready)
{
    Source& state = source();
    char* perm_buf = read_buffers();
    if (state.standby.load()) intake_events(state, perm_buf, perm_buf + kReadBuffer, ready & kPerm, ready & kNotif);
}

bool batch_of_several()
{
    return t_several;
}

void notifications_first(Source& state)
{
    char* buf = t_unread;
    if (!buf) return;
    t_unread = nullptr;
    std::lock_guard<std::mutex> in(state.intake);
    if (!state.stopping.load()) drain_notifications(state, buf);
}

void set_enforcing(bool enforcing)
{
    Source& state = source();
    std::lock_guard<std::mutex> lock(state.mu);
    state.opt.enforcing = enforcing;
}

Status status()
{
    Source& state = source();
    std::lock_guard<std::mutex> lock(state.mu);
    Status s;
    s.on = state.on;
    s.mount = state.opt.mount;
    s.mounts = state.watched;
    s.enforcing = state.opt.enforcing;
    s.deadline_deny = state.opt.deadline_deny;
    s.timeout_ms = state.opt.timeout_ms;
    s.handle = state.opt.handle;
    s.rename_event = state.rename_event;
    s.held = state.held.size();
    s.sessions = state.session_count;
    s.counters = state.c;
    return s;
}

}  // namespace drv::fan
