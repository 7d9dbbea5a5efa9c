// Notification events (close after write, attribute change, rename,
// delete) become post records.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "machine.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {

// ---------------------------------------------------------------- notification events

struct Names {
    std::string name, old_name, new_name;  // absolute paths; empty when absent
};

std::string join(const std::string& dir, const char* name)
{
    if (dir.empty() || !name[0] || strcmp(name, ".") == 0) return std::string();
    return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

std::string handle_path(Source& state, const struct fanotify_event_info_fid* info, const char** name)
{
    auto* fh = reinterpret_cast<struct file_handle*>(const_cast<unsigned char*>(info->handle));
    *name = reinterpret_cast<const char*>(fh->f_handle + fh->handle_bytes);
    int fd = open_handle(state, info, fh);
    if (fd < 0) return std::string();
    std::string dir = fd_path(fd);
    real::close(fd);
    return dir;
}

// raw: the record's bytes, of which m is the aligned copy of the head.
Names event_names(Source& state, const struct fanotify_event_metadata* m, const char* raw)
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

void rename_known_locked(Source& state, const std::string& from, const std::string& to)
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

void rename_record(Source& state, pid_t tid, const ProcInfo& p, const std::string& from, const std::string& to)
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

void notification_event(Source& state, const struct fanotify_event_metadata* m, const char* raw)
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

}  // namespace drv::fan
