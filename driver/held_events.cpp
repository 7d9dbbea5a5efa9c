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

Answer answer_locked(Source& state, int event_fd, bool allow)
{
    if (allow)
        state.c.allowed++;
    else
        state.c.denied++;
    state.answering++;
    return Answer{state.perm_fd, event_fd, allow};
}

void send_answer(Source& state, const Answer& a)
{
    struct fanotify_response r;
    r.fd = a.event_fd;
    r.response = a.allow ? FAN_ALLOW : FAN_DENY;
    ssize_t w = write(a.perm_fd, &r, sizeof r);
    (void)w;  // a failed answer leaves the kernel to allow it when the group closes
    real::close(a.event_fd);
    state.answering--;
}

void respond_locked(Source& state, int event_fd, bool allow)
{
    send_answer(state, answer_locked(state, event_fd, allow));
}

namespace {

// An event no reply answered gets the deadline's answer.
void answer_unreplied_locked(Source& state, const Held& h)
{
    state.exec_followup.erase(h.pid);
    respond_locked(state, h.event_fd, !state.opt.deadline_deny);
}

// A write open that was allowed: its open-post, under a new id with a new
// synthetic descriptor. The open is answered at once; an all-zero reply to
// the open-post (the writer had gone) makes its close a reported change.
std::unique_ptr<ac_event_record> open_post_locked(Source& state, Held& h)
{
    std::unique_ptr<ac_event_record> post = std::move(h.post);
    uint32_t id = new_id_locked(state);
    int32_t fd = open_session_locked(state, h.pid, h.path, post->flags, h.file_key, id);
    post->id = id;
    post->fd = fd;
    post->rc = fd;
    Awaited a;
    a.pid = h.pid;
    a.open_post = true;
    a.file_key = h.file_key;
    await_locked(state, id, std::move(a));
    return post;
}

// Queued before the open is answered, so that a close following at once
// reaches the engine after it.
void post_and_allow(Source& state, const Held& h, std::unique_ptr<ac_event_record> post)
{
    if (!queue(state, post.get(), h.file_key)) awaited_reply(state, post->id, true);  // the engine never sees it
    Answer answer;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        answer = answer_locked(state, h.event_fd, true);
    }
    send_answer(state, answer);
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
    } while (state.held.count(id) || state.awaited.count(id));
    return id;
}


bool hold_locked(Source& state, Held& h, ac_event_record* rec)
{
    h.deadline = now_ms() + state.opt.timeout_ms;
    const uint32_t id = new_id_locked(state);
    rec->id = id;
    // Read by an engine thread: the reader must wake for this deadline.
    const bool wake = !t_reader && h.deadline < state.reader_wake_ms;
    if (wake) state.reader_wake_ms = h.deadline;
    state.held.emplace(id, std::move(h));
    return wake;
}

void hold_and_queue(Source& state, Held h, ac_event_record* rec)
{
    h.reader_us = now_us() - h.read_us;  // the record is ready
    const uint64_t key = h.file_key;
    queue(state, rec, key, &h);
}

thread_local bool t_reader = false;

int next_wait(Source& state)
{
    int wait = log::report_dropped();  // the count of lines not logged is due then
    std::lock_guard<std::mutex> lock(state.mu);
    const int64_t now = now_ms();
    // Idle, it still wakes once per deadline period: an event held meanwhile
    // by an engine thread has a later deadline and needs no wake-up.
    if (state.held.empty() && (wait < 0 || wait > state.opt.timeout_ms)) wait = state.opt.timeout_ms;
    if (!state.held.empty()) {
        int64_t first = INT64_MAX;
        for (auto& h : state.held) first = h.second.deadline < first ? h.second.deadline : first;
        int64_t left = first - now;
        int held = left <= 0 ? 0 : (int)(left > INT_MAX ? INT_MAX : left);
        wait = wait >= 0 && wait < held ? wait : held;
    }
    state.reader_wake_ms = wait < 0 ? INT64_MAX : now + wait;
    return wait;
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
    bool deny = false, awaited = false;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (!state.on) return;
        auto it = state.held.find(id);
        if (it == state.held.end()) {
            awaited = true;
        } else {
            deny = state.opt.deadline_deny;
            answer_unreplied_locked(state, it->second);
            state.c.unresolved++;
            h = std::move(it->second);
            state.held.erase(it);
        }
    }
    if (awaited)
        awaited_reply(state, id, true);
    else
        log_answer("unresolved", h, deny);
}

void on_reply(uint32_t id, uint32_t code)
{
    if (!g_on.load()) return;
    Source& state = source();
    std::unique_ptr<ac_event_record> post;
    Held h;
    Answer answer;
    bool permitted = false;  // a denial permissive mode allowed, logged once the lock is released
    {
        std::lock_guard<std::mutex> lock(state.mu);
        if (!state.on) return;
        auto it = state.held.find(id);
        if (it != state.held.end()) {
            h = std::move(it->second);
            state.held.erase(it);
            state.c.replied++;
            bool block = (code & kReplyCodeMask) == kReplyBlock;
            if (block && !state.opt.enforcing) {
                state.c.would_deny++;
                block = false;
                permitted = true;
            }
            if (block && h.exec) state.exec_followup.erase(h.pid);  // no open follows a refused exec
            state.c.held_us += (uint64_t)(now_us() - h.read_us);
            state.c.reader_us += (uint64_t)h.reader_us;
            if (!block && h.post)
                post = open_post_locked(state, h);
            else
                answer = answer_locked(state, h.event_fd, !block);
        }
    }
    if (answer.event_fd >= 0) send_answer(state, answer);
    if (h.event_fd < 0) {
        awaited_reply(state, id, false);
        return;
    }
    if (permitted)
        log::line("permissive: would deny %s of %s by pid %d", h.exec ? "exec" : "open", h.path.c_str(), (int)h.pid);
    if (post) post_and_allow(state, h, std::move(post));
}

void allow_write_open(Source& state, Held& h)
{
    std::unique_ptr<ac_event_record> post;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        post = open_post_locked(state, h);
    }
    post_and_allow(state, h, std::move(post));
}

void awaited_reply(Source& state, uint32_t id, bool unjudged)
{
    Awaited a;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        auto it = state.awaited.find(id);
        if (it == state.awaited.end()) return;
        a = std::move(it->second);
        state.awaited.erase(it);
        if (a.open_post && !a.closed) {
            settle_session_locked(state, a.pid, id, !unjudged);
            return;
        }
    }
    if (unjudged) report_change(state, a.pid, a.path, a.file_key);
}

}  // namespace drv::fan
