// Notification events (close after write, attribute change, rename,
// delete) become post records named for the engine (file_names.h).
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "file_names.h"
#include "machine.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {

// ---------------------------------------------------------------- notification events

constexpr size_t kDirNames = 64;

struct Names {
    std::string name, old_name, new_name;  // absolute paths; empty when absent
};

std::string join(const std::string& dir, const char* name)
{
    if (dir.empty() || !name[0] || strcmp(name, ".") == 0) return std::string();
    return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

// Directories already found by handle: the path each led to and the
// directory's identity then. A hit costs one stat, which must show that the
// path still leads to that very directory, instead of opening the mount and
// the handle and reading the link. Used under the intake lock only.
namespace {
struct DirName {
    std::string handle, path;
    dev_t dev = 0;
    ino_t ino = 0;
};
std::array<DirName, kDirNames> g_dir_names;
}  // namespace

std::string handle_path(Source& state, const struct fanotify_event_info_fid* info, const char** name)
{
    auto* fh = reinterpret_cast<struct file_handle*>(const_cast<unsigned char*>(info->handle));
    *name = reinterpret_cast<const char*>(fh->f_handle + fh->handle_bytes);
    std::string handle(reinterpret_cast<const char*>(&info->fsid), sizeof info->fsid);
    handle.append(reinterpret_cast<const char*>(fh), sizeof *fh + fh->handle_bytes);
    DirName& known = g_dir_names[std::hash<std::string>()(handle) % kDirNames];
    struct stat st;
    if (known.handle == handle && stat(known.path.c_str(), &st) == 0 && st.st_dev == known.dev &&
        st.st_ino == known.ino)
        return known.path;
    int fd = open_handle(state, info, fh);
    if (fd < 0) return std::string();
    std::string dir = fd_path(fd);
    if (!dir.empty() && fstat(fd, &st) == 0) known = DirName{handle, dir, st.st_dev, st.st_ino};
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
    std::vector<std::pair<pid_t, std::deque<Session>>> moved;
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

// The record's name for path in the name of process p; counts a miss.
bool named(Source& state, pid_t pid, const std::string& path, std::string* name)
{
    if (name_for(pid, path, name)) return true;
    std::lock_guard<std::mutex> lock(state.mu);
    state.c.unnamed++;
    return false;
}

uint64_t key_of(const std::string& path, const struct stat* st)
{
    return st ? file_key(st->st_dev, st->st_ino) : file_key(path);
}

void rename_record(Source& state, const ProcInfo& p, const std::string& from, const std::string& to)
{
    if (from.empty() || to.empty()) return;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        rename_known_locked(state, from, to);
    }
    std::string old_name, name;
    if (!named(state, p.pid, from, &old_name) || !named(state, p.pid, to, &name)) return;
    auto rec = new_record(EVENT_RENAME_POST, p.pid, p);
    set_name(rec->name, &rec->name_len, name);
    set_name(rec->oldname, &rec->oldname_len, old_name);
    struct stat st;
    queue(state, rec.get(), key_of(to, lstat(to.c_str(), &st) == 0 ? &st : nullptr));
}

// A chmod-post in the name of process p (its mode, rc 0); false when p has no
// name for the file.
bool chmod_record(Source& state, const ProcInfo& p, const std::string& path, const struct stat* st, uint64_t key)
{
    std::string name;
    if (!name_for(p.pid, path, &name)) return false;
    auto rec = new_record(EVENT_CHMOD_POST, p.pid, p);
    if (st) rec->mode = st->st_mode;
    set_name(rec->name, &rec->name_len, name);
    queue(state, rec.get(), key);
    return true;
}

// The close-pre of a write open. When the engine's drift tracker cannot have
// followed that open (not a create or truncate, dropped from its full ring,
// an open-post the engine could not judge, or a writer it can no longer
// find), a chmod-post of the file follows, which the engine's quick filters
// hand to the policy as a change. Where that depends on replies still to
// come, they decide.
void close_write(Source& state, pid_t pid, bool gone, const ProcInfo& actor, const std::string& path)
{
    ProcInfo writer = actor;
    if (gone) writer = ProcInfo{pid, 0, 0};  // the close still releases its drift entry
    auto rec = new_record(EVENT_CLOSE_PRE, pid, writer);
    struct stat st;
    const struct stat* have = lstat(path.c_str(), &st) == 0 ? &st : nullptr;
    Session s;
    bool unseen;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        bool found = take_session_locked(state, pid, path, &s);
        if (!found) s.file_key = key_of(path, have);
        rec->fd = found ? s.fd : new_fd_locked(state, pid, path);  // else an untracked descriptor
        rec->id = new_id_locked(state);
        auto post = s.post_id ? state.awaited.find(s.post_id) : state.awaited.end();
        unseen = !found || !s.tracked || state.ring_full_seq >= s.seq || gone ||
                 (s.post_id && post == state.awaited.end());
        if (post != state.awaited.end()) {
            if (unseen) {
                state.awaited.erase(post);
            } else {
                post->second.closed = true;  // the open-post's reply decides
                post->second.path = path;
            }
        }
        if (!unseen) {
            Awaited a;
            a.pid = pid;
            a.path = path;
            a.file_key = s.file_key;
            await_locked(state, rec->id, std::move(a));
        }
    }
    queue(state, rec.get(), s.file_key);
    if (unseen) report_change(state, pid, path, s.file_key);
}

void report_change(Source& state, pid_t pid, const std::string& path, uint64_t key)
{
    struct stat st;
    const struct stat* have = lstat(path.c_str(), &st) == 0 ? &st : nullptr;
    if (!process_gone(pid) && chmod_record(state, proc_info(pid), path, have, key)) return;
    // Gone, or a writer whose root does not hold the file (given the descriptor by another process).
    if (chmod_record(state, proc_info(stand_in(state.self)), path, have, key)) return;
    std::lock_guard<std::mutex> lock(state.mu);
    state.c.unnamed++;
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
    // The thread is not known here. The engine answers a post event of a
    // process it cannot find without the policy: once the process has gone,
    // its post records go out in the name of a stand-in (process 1).
    const pid_t pid = m->pid;
    const bool gone = process_gone(pid);
    ProcInfo p = gone ? proc_info(stand_in(state.self)) : kept_proc_info(pid, false);
    Names n = event_names(state, m, raw);
    if ((m->mask & FAN_ATTRIB) && !n.name.empty()) {
        struct stat st;
        const struct stat* have = lstat(n.name.c_str(), &st) == 0 ? &st : nullptr;
        if (!chmod_record(state, p, n.name, have, key_of(n.name, have))) {
            std::lock_guard<std::mutex> lock(state.mu);
            state.c.unnamed++;
        }
    }
    if ((m->mask & FAN_CLOSE_WRITE) && !n.name.empty()) close_write(state, pid, gone, p, n.name);
    if (m->mask & FAN_RENAME) rename_record(state, p, n.old_name, n.new_name);
    if (m->mask & FAN_MOVED_FROM) {
        std::lock_guard<std::mutex> lock(state.mu);
        state.moved_pid = pid;
        state.moved_from = n.name;
    }
    if (m->mask & FAN_MOVED_TO) {
        std::string from;
        {
            std::lock_guard<std::mutex> lock(state.mu);
            if (state.moved_pid == pid) from.swap(state.moved_from);
            state.moved_pid = 0;
        }
        rename_record(state, p, from, n.name);
    }
    if ((m->mask & FAN_DELETE) && !n.name.empty()) {
        {
            std::lock_guard<std::mutex> lock(state.mu);
            for (auto& s : state.synthetic)
                if (s.second.path == n.name) s.second.path += " (deleted)";
        }
        std::string name;
        if (!named(state, p.pid, n.name, &name)) return;
        auto rec = new_record(EVENT_UNLINK_POST, p.pid, p);
        set_name(rec->name, &rec->name_len, name);
        queue(state, rec.get(), file_key(n.name));
    }
}

}  // namespace drv::fan
