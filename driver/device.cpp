// The device's handles. Each is a SOCK_SEQPACKET socket pair, so a read
// returns one whole record and a blocked poll wakes when one is queued.
// Poll answers for device descriptors are corrected afterwards: once a
// hung-up handle has nothing left, the kernel reports POLLIN|POLLHUP for the
// shut-down socket where the driver reports POLLHUP alone.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/event_record.h"
#include "fanotify_source.h"
#include "real_libc.h"
#include "responder.h"
#include "rule_program.h"
#include "state.h"

namespace drv {
namespace {

constexpr int kFdSlots = 1 << 16;
// Static and zero-initialised: valid before any constructor runs.
std::atomic<bool> g_device_fd[kFdSlots];

void mark(int fd, bool on)
{
    g_device_fd[fd].store(on, std::memory_order_release);
}

// The engine thread asks for more: the record it held is done with.
void finish_locked(State& s, Handle& h)
{
    if (!h.busy) return;
    h.busy = false;
    auto u = s.unfinished.find(h.current);
    if (u != s.unfinished.end() && u->second.first == &h && --u->second.second == 0) s.unfinished.erase(u);
}

void forget_keys_locked(State& s, const Handle& h)
{
    for (auto it = s.unfinished.begin(); it != s.unfinished.end();)
        it = it->second.first == &h ? s.unfinished.erase(it) : std::next(it);
}

// The engine thread that reads events in this thread (stand-by), by its
// handle's descriptor: its own records go to it.
thread_local int t_intake_fd = -1;

std::shared_ptr<Handle> find_locked(State& s, int fd)
{
    auto it = s.open_fds.find(fd);
    return it == s.open_fds.end() ? nullptr : it->second;
}

std::shared_ptr<Handle> pick_locked(State& s, unsigned number)
{
    if (number == 0) {
        for (auto it = s.handles.rbegin(); it != s.handles.rend(); ++it)
            if ((*it)->open) return *it;
        return nullptr;
    }
    if (number > s.handles.size() || !s.handles[number - 1]->open) return nullptr;
    return s.handles[number - 1];
}

// Moves backlog into the socket as far as it takes it; once a hung-up handle
// has handed over everything, shuts the socket so that blocked readers wake.
void pump_locked(Handle& h)
{
    while (!h.backlog.empty() && h.sending == 0) {  // a send in flight goes first
        const std::string& rec = h.backlog.front();
        if (send(h.driver_fd, rec.data(), rec.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) break;
        h.backlog.pop_front();
        h.in_socket++;
    }
    if (h.hung && !h.shut && h.backlog.empty() && h.sending == 0) {
        shutdown(h.driver_fd, SHUT_RDWR);
        h.shut = true;
    }
}

void close_driver_side_locked(State& s, Handle& h)
{
    mark(h.app_fd, false);
    s.open_fds.erase(h.app_fd);
    forget_keys_locked(s, h);
    h.keys.clear();
    h.busy = false;
    h.direct_len = 0;
    if (h.sending)
        h.close_pending = true;  // its number must not be reused under a send
    else
        real::close(h.driver_fd);
    h.driver_fd = -1;
    h.open = false;
    h.backlog.clear();
}

short device_events(const Handle& h, short kernel)
{
    if (kernel & POLLNVAL) return kernel;
    if (!h.shut) return kernel;
    if (h.in_socket == 0) return POLLHUP;
    // Records left: readable, not yet hung up.
    short rest = static_cast<short>(kernel & ~(POLLHUP | POLLRDHUP));
    return rest ? rest : kernel;
}

int fail(int err)
{
    errno = err;
    return -1;
}
}  // namespace

bool is_device_fd(int fd)
{
    return fd >= 0 && fd < kFdSlots && g_device_fd[fd].load(std::memory_order_acquire);
}

bool poll_set_has_device(const struct pollfd* fds, nfds_t n)
{
    for (nfds_t i = 0; i < n; i++)
        if (is_device_fd(fds[i].fd)) return true;
    return false;
}

int device_open(int flags)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (int err = take_failure_locked(s, OP_OPEN)) return fail(err);
    if (!s.node) return fail(ENOENT);
    if (!s.modules.count(kDriverModule)) return fail(ENXIO);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    if (sv[0] >= kFdSlots) {
        real::close(sv[0]);
        real::close(sv[1]);
        return fail(EMFILE);
    }
    if (!(flags & O_CLOEXEC)) fcntl(sv[0], F_SETFD, 0);
    if (flags & O_NONBLOCK) fcntl(sv[0], F_SETFL, O_NONBLOCK);
    auto h = std::make_shared<Handle>();
    h->app_fd = sv[0];
    h->driver_fd = sv[1];
    s.handles.push_back(h);
    s.open_fds[sv[0]] = h;
    mark(sv[0], true);
    return sv[0];
}

ssize_t device_read(int fd, void* buf, size_t n)
{
    State& s = state();
    std::shared_ptr<Handle> h;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        h = find_locked(s, fd);
        if (h) {
            if (int err = take_failure_locked(s, OP_READ)) return fail(err);
            finish_locked(s, *h);
        }
    }
    bool direct = false;
    ssize_t r = -1;
    if (h) {
        std::lock_guard<std::mutex> lock(s.mu);
        if (h->direct_len) {
            r = (ssize_t)std::min(n, h->direct_len);  // a record is read whole or cut, as from the socket
            memcpy(buf, h->direct.data(), (size_t)r);
            h->direct_len = 0;
            direct = true;
        }
    }
    if (!direct) r = real::read(fd, buf, n);  // may block: never under the lock
    if (r >= 0 && h) {
        std::lock_guard<std::mutex> lock(s.mu);
        if (h->open) {
            if (h->in_socket > 0 && !direct) h->in_socket--;
            if (r > 0 && !h->keys.empty()) {
                h->current = h->keys.front();
                h->keys.pop_front();
                h->busy = true;
            }
            pump_locked(*h);
        }
        h->last_id = 0;
        if ((size_t)r >= offsetof(ac_event_record, id) + sizeof h->last_id)
            memcpy(&h->last_id, static_cast<const char*>(buf) + offsetof(ac_event_record, id), sizeof h->last_id);
    }
    return r;
}

namespace {

// An engine thread waiting for its handle's records in host mode: it reads
// permission events too (fanotify_source.h, stand-by). -2: not in stand-by.
int standby_poll(State& s, struct pollfd* pfd, int timeout)
{
    std::shared_ptr<Handle> h;
    int ep;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        h = find_locked(s, pfd->fd);
        if (!h || !h->open) return -2;
        finish_locked(s, *h);
        if (h->standby_fd < 0) {
            h->standby_fd = epoll_create1(EPOLL_CLOEXEC);
            struct epoll_event ev = {};
            ev.events = EPOLLIN;
            ev.data.u32 = 0;
            if (h->standby_fd >= 0 && epoll_ctl(h->standby_fd, EPOLL_CTL_ADD, pfd->fd, &ev) != 0) {
                real::close(h->standby_fd);
                h->standby_fd = -1;
            }
        }
        ep = h->standby_fd;
        if (ep < 0) return -2;
        if (h->direct.empty()) h->direct.resize(kMaxRecord);
        if (h->direct_len) {
            pfd->revents = POLLIN;
            return 1;
        }
    }
    // Outside the lock: it waits for the reader's intake lock.
    if (h->standby_gen != fan::standby_generation()) h->standby_gen = fan::join_standby(ep);
    if (h->standby_gen == 0) return -2;
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
    int wait = timeout;
    for (;;) {
        struct epoll_event evs[3];
        int r = epoll_wait(ep, evs, 3, wait);
        if (r <= 0) return r;
        short kernel = 0;
        uint32_t ready = 0;
        for (int i = 0; i < r; i++) {
            if (evs[i].data.u32 == 0)
                kernel = static_cast<short>(evs[i].events & (pfd->events | POLLHUP | POLLERR));
            else
                ready |= evs[i].data.u32;
        }
        const bool events = ready != 0;
        if (events) {
            t_intake_fd = pfd->fd;
            fan::intake(ready);
            t_intake_fd = -1;
            std::lock_guard<std::mutex> lock(s.mu);
            if (h->direct_len) {
                pfd->revents = POLLIN;
                return 1;
            }
        }
        if (kernel) {
            std::lock_guard<std::mutex> lock(s.mu);
            pfd->revents = device_events(*h, kernel);
            if (pfd->revents) return 1;
        }
        if (timeout == 0 && !events) return 0;
        if (timeout > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        if (events) continue;  // its own records may be there now
        if (timeout > 0 && wait == 0) return 0;
    }
}

}  // namespace

int device_poll(struct pollfd* fds, nfds_t n, int timeout)
{
    State& s = state();
    if (int err = take_failure(OP_POLL)) return fail(err);
    if (n == 1 && fan::standby_on() && is_device_fd(fds[0].fd) && (fds[0].events & POLLIN)) {
        fds[0].revents = 0;
        int r = standby_poll(s, fds, timeout);
        if (r != -2) return r;
    }
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
    int wait = timeout;
    for (;;) {
        int r = real::poll(fds, n, wait);
        if (r <= 0) return r;
        int ready = 0;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            for (nfds_t i = 0; i < n; i++) {
                if (is_device_fd(fds[i].fd)) {
                    if (auto h = find_locked(s, fds[i].fd)) fds[i].revents = device_events(*h, fds[i].revents);
                }
                if (fds[i].revents) ready++;
            }
        }
        if (ready) return ready;
        if (timeout == 0) return 0;
        if (timeout > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            if (left <= 0) return 0;
            wait = static_cast<int>(left);
        }
    }
}

int device_ioctl(int fd, unsigned long request, void* arg)
{
    State& s = state();
    std::string cmd;
    CommandArgs args{};
    ReplyMsg reply{};
    uint32_t unjudged = 0;  // a zero reply: the engine could not judge the last record read
    {
        std::lock_guard<std::mutex> lock(s.mu);
        auto h = find_locked(s, fd);
        if (!h) return real::ioctl(fd, request, arg);
        if (int err = take_failure_locked(s, OP_IOCTL)) return fail(err);
        switch (request) {
        case kIoctlReply:
            if (!arg) return fail(EFAULT);
            memcpy(&reply, arg, sizeof reply);
            if (s.keep_log && s.replies.size() < kMaxLogged)
                s.replies.push_back(Reply{reply.reply, reply.id, reply.eta, reply.error});
            if (reply.id == 0) std::swap(unjudged, h->last_id);
            break;
        case kIoctlCommand:
            if (!arg) return fail(EFAULT);
            memcpy(&args, arg, sizeof args);
            if (args.cmd_len > 0 && !args.cmd) return fail(EFAULT);
            if (args.cmd_len > 0) cmd.assign(reinterpret_cast<const char*>(args.cmd), args.cmd_len - 1);
            if (s.keep_log && s.commands.size() < kMaxLogged) s.commands.push_back(cmd);
            s.last = LastCommand{true, args.cmd_len, args.resp_size};
            break;
        case FIOCLEX:
        case FIONCLEX:
        case FIONBIO:
        case FIOASYNC:
            // Answered for every file above the driver.
            return real::ioctl(fd, request, arg);
        default:
            return fail(ENOTTY);
        }
    }
    if (request == kIoctlReply) {
        // A live event held for this id is answered now (no lock held).
        if (unjudged)
            fan::answer_unjudged(unjudged);
        else
            fan::on_reply(reply.id, reply.reply);
        return 0;
    }
    // The driver keeps its own copy of an uploaded rule program; anything
    // else sent as one (unsigned, short) leaves every event to the engine.
    if (cmd.compare(0, 9, "\"program\"") == 0) load_rules(cmd.data(), cmd.size());
    // The responder may call back into this library: no lock here.
    Response r = answer_command(cmd);
    size_t n = r.bytes.size() < args.resp_size ? r.bytes.size() : args.resp_size;
    if (n > 0 && !args.resp) return fail(EFAULT);
    if (n > 0) memcpy(reinterpret_cast<void*>(args.resp), r.bytes.data(), n);
    // The whole length, so that a caller can tell that its buffer was short.
    uint32_t len = r.bytes.size() > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(r.bytes.size());
    memcpy(static_cast<char*>(arg) + offsetof(CommandArgs, resp_len), &len, sizeof len);
    if (r.status < 0) return fail(-r.status);
    return r.status;
}

int device_close(int fd)
{
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        auto h = find_locked(s, fd);
        if (!h) return real::close(fd);
        if (int err = take_failure_locked(s, OP_CLOSE)) return fail(err);
        close_driver_side_locked(s, *h);
        if (h->standby_fd >= 0) real::close(h->standby_fd);  // its own thread's: not waited on now
        h->standby_fd = -1;
    }
    return real::close(fd);
}

void drop_handles_locked(State& s)
{
    // The caller's descriptors stay open; they see a closed peer from now on.
    for (auto& h : s.handles)
        if (h->open) close_driver_side_locked(s, *h);
    s.handles.clear();
    s.open_fds.clear();
}

namespace {

// Queues a record. With nothing before it, it is sent outside the lock: the
// engine thread that the send wakes must not find the lock held. key: the
// record's file, when records are spread over the handles.
int push_to(State& s, std::unique_lock<std::mutex>& lock, std::shared_ptr<Handle> h, const void* bytes, size_t n,
            const uint64_t* key)
{
    if (key) {
        h->keys.push_back(*key);
        auto& u = s.unfinished[*key];
        u.first = h.get();
        u.second++;
    }
    if (t_intake_fd == h->app_fd && h->backlog.empty() && !h->sending && h->in_socket == 0 && h->direct_len == 0 &&
        n <= h->direct.size()) {
        memcpy(h->direct.data(), bytes, n);
        h->direct_len = n;
        return 0;
    }
    if (!h->backlog.empty() || h->sending) {
        h->backlog.emplace_back(static_cast<const char*>(bytes), n);
        pump_locked(*h);
        return 0;
    }
    const int fd = h->driver_fd;
    h->sending++;
    h->in_socket++;
    lock.unlock();
    const bool sent = send(fd, bytes, n, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
    lock.lock();
    h->sending--;
    if (h->close_pending && h->sending == 0) real::close(fd);
    if (!sent) {
        h->in_socket--;
        // The socket is full; nothing was sent meanwhile, so it stays first.
        if (h->open) h->backlog.emplace_front(static_cast<const char*>(bytes), n);
    }
    if (h->open) pump_locked(*h);
    return 0;
}

// The handle for a record of this file: the one that has its records, else
// the calling engine thread's own, else one picked by the file.
std::shared_ptr<Handle> spread_locked(State& s, uint64_t key)
{
    auto usable = [](const std::shared_ptr<Handle>& h) { return h && h->open && !h->hung; };
    auto u = s.unfinished.find(key);
    if (u != s.unfinished.end()) {
        for (auto& h : s.handles)
            if (h.get() == u->second.first && usable(h)) return h;
    }
    if (t_intake_fd >= 0) {
        auto h = find_locked(s, t_intake_fd);
        if (usable(h)) return h;
    }
    size_t live = 0;
    for (auto& h : s.handles) live += usable(h);
    if (live == 0) return nullptr;
    size_t k = (size_t)(key % live);
    for (auto& h : s.handles)
        if (usable(h) && k-- == 0) return h;
    return nullptr;
}

}  // namespace

int push(unsigned handle, const void* bytes, size_t n)
{
    if (n > kMaxRecord) return EMSGSIZE;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mu);
    auto h = pick_locked(s, handle);
    if (!h) return ENOENT;
    if (h->hung) return EPIPE;
    return push_to(s, lock, std::move(h), bytes, n, nullptr);
}

int push_spread(uint64_t key, const void* bytes, size_t n)
{
    if (n > kMaxRecord) return EMSGSIZE;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mu);
    auto h = spread_locked(s, key);
    if (!h) return ENOENT;
    return push_to(s, lock, std::move(h), bytes, n, &key);
}

int hangup(unsigned handle)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (handle == 0) {
        for (auto& h : s.handles) {
            if (!h->open) continue;
            h->hung = true;
            pump_locked(*h);
        }
        return 0;
    }
    auto h = pick_locked(s, handle);
    if (!h) return ENOENT;
    h->hung = true;
    pump_locked(*h);
    return 0;
}

}  // namespace drv
