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
    std::lock_guard<std::mutex> lock(state.mu);
    if (state.held.empty()) return -1;
    int64_t first = INT64_MAX;
    for (auto& h : state.held) first = h.second.deadline < first ? h.second.deadline : first;
    int64_t left = first - now_ms();
    return left <= 0 ? 0 : (int)(left > INT_MAX ? INT_MAX : left);
}

void expire(Source& state)
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

void on_reply(uint32_t id, uint32_t code)
{
    if (!g_on.load()) return;
    Source& state = source();
    std::unique_ptr<ac_event_record> post;
    uint64_t key;
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
        int32_t fd = open_session_locked(state, h.pid, h.path, post->flags, h.file_key);
        post->fd = fd;
        post->rc = fd;
        key = h.file_key;
        Held next = std::move(h);
        state.held.erase(it);
        uint32_t nid = new_id_locked(state);
        post->id = nid;
        state.held.emplace(nid, std::move(next));
    }
    uint32_t nid = post->id;
    if (queue(state, post.get(), key)) return;
    std::lock_guard<std::mutex> lock(state.mu);
    auto it = state.held.find(nid);
    if (it == state.held.end()) return;
    respond_locked(state, it->second.event_fd, true);
    state.held.erase(it);
}

}  // namespace drv::fan
