// Records queued for the device's handles, and the synthetic descriptors
// that stand for a writer's descriptor (fanotify_source.h).
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <csignal>
#include <cstdlib>

#include "machine.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {

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

int32_t new_fd_locked(Source& state, pid_t pid, const std::string& path)
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
void prune_sessions_locked(Source& state)
{
    if (state.session_count < kMaxSessions) return;
    for (auto it = state.sessions.begin(); it != state.sessions.end();) {
        if (kill(it->first.first, 0) != 0 && errno == ESRCH) {
            state.session_count -= it->second.size();
            for (const Session& s : it->second) state.tracked_sessions -= s.tracked;
            it = state.sessions.erase(it);
        } else {
            ++it;
        }
    }
    if (state.session_count >= kMaxSessions) {
        state.sessions.clear();
        state.session_count = state.tracked_sessions = 0;
    }
}

// A write open the engine is told about (its open-post): its synthetic
// descriptor. The engine's drift ring drops its oldest entries once more
// tracked opens are outstanding than it holds; such a moment is remembered,
// so that the closes of the opens made before it are reported as changes.
int32_t open_session_locked(Source& state, pid_t pid, const std::string& path, uint32_t flags, uint64_t file_key,
                            uint32_t post_id)
{
    if (state.sessions.empty()) state.session_count = state.tracked_sessions = 0;
    Session s;
    s.fd = new_fd_locked(state, pid, path);
    s.seq = state.next_seq++;
    s.tracked = (flags & (O_CREAT | O_TRUNC)) != 0;
    s.file_key = file_key;
    s.post_id = post_id;
    state.sessions[{pid, path}].push_back(s);
    state.session_count++;
    state.tracked_sessions += s.tracked;
    if (state.tracked_sessions > kEngineDriftRing) state.ring_full_seq = s.seq;
    prune_sessions_locked(state);
    return s.fd;
}

// The oldest write open of this process on this file, taken off; false when
// there is none.
bool take_session_locked(Source& state, pid_t pid, const std::string& path, Session* out)
{
    auto it = state.sessions.find({pid, path});
    if (it == state.sessions.end() || it->second.empty()) return false;
    *out = it->second.front();
    it->second.pop_front();
    state.session_count--;
    state.tracked_sessions -= out->tracked;
    if (it->second.empty()) state.sessions.erase(it);
    return true;
}

void settle_session_locked(Source& state, pid_t pid, uint32_t post_id, bool tracked)
{
    for (auto it = state.sessions.lower_bound({pid, std::string()}); it != state.sessions.end() && it->first.first == pid;
         ++it) {
        for (Session& s : it->second) {
            if (s.post_id != post_id) continue;
            s.post_id = 0;
            if (!tracked && s.tracked) {
                s.tracked = false;  // its close is reported as a change
                state.tracked_sessions--;
            }
            return;
        }
    }
}

// Bounded: replies that never come (a handle closed with records in it)
// leave entries behind. A session whose open-post is no longer awaited is
// reported as a change at its close.
void await_locked(Source& state, uint32_t id, Awaited a)
{
    if (state.awaited.size() >= kMaxSessions) state.awaited.clear();
    state.awaited[id] = std::move(a);
}

namespace {

uint64_t* type_counter(Counters& c, uint32_t type)
{
    switch (type) {
    case EVENT_EXECVE_PRE: return &c.exec_pre;
    case EVENT_OPEN_PRE: return &c.open_pre;
    case EVENT_OPEN_POST: return &c.open_post;
    case EVENT_CLOSE_PRE: return &c.close_pre;
    case EVENT_CHMOD_POST: return &c.chmod_post;
    case EVENT_RENAME_POST: return &c.rename_post;
    case EVENT_UNLINK_POST: return &c.unlink_post;
    default: return nullptr;
    }
}

}  // namespace

// Counted as queued before the push (one lock per record), taken back when
// no handle took it.
bool queue(Source& state, ac_event_record* rec, uint64_t file_key, Held* hold)
{
    unsigned handle;
    bool spread, wake = false;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        handle = state.opt.handle;
        spread = state.opt.host && handle == 0;
        if (hold)
            wake = hold_locked(state, *hold, rec);
        else if (!rec->id)
            rec->id = new_id_locked(state);
        if (state.missed) {
            rec->missed = state.missed;
            state.missed = 0;
        }
        state.c.records++;
        if (uint64_t* n = type_counter(state.c, rec->type)) ++*n;
    }
    if (wake) {
        char c = 0;
        ssize_t w = write(state.wake_w, &c, 1);
        (void)w;
    }
    // Several workers: the records of one file go to one of them, in order.
    int err = spread ? push_spread(file_key, rec, sizeof *rec) : push(handle, rec, sizeof *rec);
    if (!err) return true;
    Answer answer;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.unqueued++;
        state.c.records--;
        if (uint64_t* n = type_counter(state.c, rec->type)) --*n;
        auto it = hold ? state.held.find(rec->id) : state.held.end();
        if (it == state.held.end()) return false;  // not held, or answered meanwhile
        state.exec_followup.erase(it->second.pid);
        answer = answer_locked(state, it->second.event_fd, true);
        state.held.erase(it);
    }
    send_answer(state, answer);
    return false;
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
    Source& state = source();
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

}  // namespace drv::fan
