// Permission events (exec and open) become held records named for the
// engine (file_names.h).
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "file_names.h"
#include "machine.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {

// ---------------------------------------------------------------- permission events

void permission_event(Source& state, const struct fanotify_event_metadata* m)
{
    const int64_t read_us = now_us();
    const pid_t pid = m->pid;  // the process (fanotify reports the thread group)
    const bool exec = m->mask & FAN_OPEN_EXEC_PERM;
    struct stat st;
    bool have_stat = fstat(m->fd, &st) == 0;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.perm_events++;
        if (!t_reader) state.c.engine_reads++;
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
    if (allow_exempt(state, m)) return;
    // An exec is mostly a new process's first event; the opens of one
    // process come again and again.
    ProcInfo p = kept_proc_info(pid, !exec);
    uint32_t flags = 0, mode = 0;
    pid_t tid = pid;
    Call call = exec ? Call::exec : open_call(pid, p.threads, &tid, &flags, &mode);
    if (!exec && call == Call::exec) {
        // An open made by an exec that was not seen as one (binfmt, uselib).
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.followups++;
        respond_locked(state, m->fd, true);
        return;
    }
    auto rec = new_record(exec ? EVENT_EXECVE_PRE : EVENT_OPEN_PRE, tid, p);
    rec->flags = flags;
    rec->mode = mode;
    if (pid == state.self) {
        // The engine's own process: never wait for ourselves. The record still
        // goes to the engine, which answers it as an own event.
        set_name(rec->name, &rec->name_len, fd_path(m->fd));
        {
            std::lock_guard<std::mutex> lock(state.mu);
            state.c.own++;
            respond_locked(state, m->fd, true);
        }
        queue(state, rec.get());
        return;
    }
    std::string path = have_stat ? verified_path(state, m->fd, st) : std::string(), name;
    if (!name_for(pid, path, &name)) {
        // Nothing the engine resolves leads to this file: an exec is judged
        // here, an open goes through.
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.unnamed++;
        bool allow = !exec || !state.opt.enforcing;
        if (exec && allow) {
            state.c.would_deny++;
            if (have_stat) state.exec_followup[pid] = {st.st_dev, st.st_ino};
        }
        respond_locked(state, m->fd, allow);
        return;
    }
    set_name(rec->name, &rec->name_len, name);
    Held h;
    h.read_us = read_us;
    h.event_fd = m->fd;
    h.pid = pid;
    h.exec = exec;
    h.path = path;
    h.file_key = file_key(st.st_dev, st.st_ino);
    if (exec || call == Call::unknown) {
        std::lock_guard<std::mutex> lock(state.mu);
        if (exec)
            state.exec_followup[pid] = {st.st_dev, st.st_ino};
        else
            state.c.unknown_flags++;
    }
    if (!exec && (flags & O_ACCMODE) != O_RDONLY) {
        h.post = new_record(EVENT_OPEN_POST, tid, p);
        set_name(h.post->name, &h.post->name_len, name);
        h.post->flags = flags;
        h.post->mode = mode;
    }
    hold_and_queue(state, std::move(h), rec.get());
}

}  // namespace drv::fan
