// Permission events held until the engine's reply or their deadline.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <climits>
#include <vector>

#include "log.h"
#include "machine.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {

void respond_locked(Source& state, int event_fd, bool allow)
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

namespace {

// An event no reply answered gets the deadline's answer.
void answer_unreplied_locked(Source& state, const Held& h)
{
    state.exec_followup.erase(h.pid);
    respond_locked(state, h.event_fd, !state.opt.deadline_deny);
}

// A write open that was allowed: its open-post goes out under a new id with a
// new synthetic descriptor, and the open stays held (with its first deadline)
// until that record's reply.
std::unique_ptr<ac_event_record> open_post_locked(Source& state, std::unordered_map<uint32_t, Held>::iterator it)
{
    Held& h = it->second;
    std::unique_ptr<ac_event_record> post = std::move(h.post);
    int32_t fd = open_session_locked(state, h.pid, h.path, post->flags, h.file_key);
    post->fd = fd;
    post->rc = fd;
    Held next = std::move(h);
    state.held.erase(it);
    uint32_t nid = new_id_locked(state);
    post->id = nid;
    state.held.emplace(nid, std::move(next));
    return post;
}

void log_answer(const char* why, const Held& h, bool deny)
{
    log::line("%s: %s %s of %s by pid %d after %lld ms", why, deny ? "denied" : "allowed", h.exec ? "exec" : "open",
              h.path.c_str(), (int)h.pid, (long long)((now_us() - h.read_us) / 1000));
}

}  // namespace

uint32_t new_id_locked(Source& state)
{
    uint32_t id;
    do {
        id = state.next_id++;
        if (state.next_id < kFirstId) state.next_id = kFirstId;
    } while (state.held.count(id));
    return id;
}


// Holds a permission event under a new id written into rec, queues rec, and
// allows the event at once when no handle takes it.
void hold_and_queue(Source& state, Held h, ac_event_record* rec)
{
    h.reader_us = now_us() - h.read_us;  // the record is ready
    const uint64_t key = h.file_key;
    uint32_t id;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        id = new_id_locked(state);
        rec->id = id;
        state.held.emplace(id, std::move(h));
    }
    if (queue(state, rec, key)) return;
    std::lock_guard<std::mutex> lock(state.mu);
    auto it = state.held.find(id);
    if (it == state.held.end()) return;  // answered meanwhile
    state.exec_followup.erase(it->second.pid);
    respond_locked(state, it->second.event_fd, true);
    state.held.erase(it);
}

int next_wait(Source& state)
{
    int wait = log::report_dropped();  // the count of lines not logged is due then
    std::lock_guard<std::mutex> lock(state.mu);
    if (state.held.empty()) return wait;
    int64_t first = INT64_MAX;
    for (auto& h : state.held) first = h.second.deadline < first ? h.second.deadline : first;
    int64_t left = first - now_ms();
    int held = left <= 0 ? 0 : (int)(left > INT_MAX ? INT_MAX : left);
    return wait >= 0 && wait < held ? wait : held;
}

void expire(Source& state)
{
    int64_t now = now_ms();
    std::vector<Held> answered;  // logged once the lock is released
    bool deny;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        deny = state.opt.deadline_deny;
        for (auto it = state.held.begin(); it != state.held.end();) {
            if (it->second.deadline <= now) {
                answer_unreplied_locked(state, it->second);
                (deny ? state.c.deadline_denied : state.c.timeouts)++;
                answered.push_back(std::move(it->second));
                it = state.held.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& h : answered) log_answer("deadline", h, deny);
}

void answer_unjudged(uint32_t id)
{
    if (!g_on.load()) return;
    Source& state = source();
    Held h;
    bool deny;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        auto it = state.held.find(id);
        if (!state.on || it == state.held.end()) return;
        deny = state.opt.deadline_deny;
        answer_unreplied_locked(state, it->second);
        state.c.unresolved++;
        h = std::move(it->second);
        state.held.erase(it);
    }
    log_answer("unresolved", h, deny);
}

void on_reply(uint32_t id, uint32_t code)
{
    if (!g_on.load()) return;
    Source& state = source();
    std::unique_ptr<ac_event_record> post;
    Held permitted;  // a denial permissive mode allowed, logged once the lock is released
    uint64_t key = 0;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (!state.on) return;
        auto it = state.held.find(id);
        if (it == state.held.end()) return;
        Held& h = it->second;
        state.c.replied++;
        bool block = (code & kReplyCodeMask) == kReplyBlock;
        if (block && !state.opt.enforcing) {
            state.c.would_deny++;
            block = false;
            permitted.pid = h.pid;
            permitted.exec = h.exec;
            permitted.path = h.path;
        }
        if (block || !h.post) {
            if (block && h.exec) state.exec_followup.erase(h.pid);  // no open follows a refused exec
            state.c.held_us += (uint64_t)(now_us() - h.read_us);
            state.c.reader_us += (uint64_t)h.reader_us;
            respond_locked(state, h.event_fd, !block);
            state.held.erase(it);
        } else {
            // A write open that was allowed: its open-post goes out under a new
            // id with a new synthetic descriptor, and the open stays held (with
            // its first deadline) until that record's reply.
            key = h.file_key;
            post = open_post_locked(state, it);
        }
    }
    if (permitted.pid)
        log::line("permissive: would deny %s of %s by pid %d", permitted.exec ? "exec" : "open", permitted.path.c_str(),
                  (int)permitted.pid);
    if (!post) return;
    uint32_t nid = post->id;
    if (queue(state, post.get(), key)) return;
    std::lock_guard<std::mutex> lock(state.mu);
    auto it = state.held.find(nid);
    if (it == state.held.end()) return;
    respond_locked(state, it->second.event_fd, true);
    state.held.erase(it);
}

}  // namespace drv::fan
