// Host mode's mounts (mounts.h).
#include "mounts.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "mount_check.h"
#include "mount_table.h"
#include "proc_identity.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {
namespace {

uint64_t fsid_key(const int val[2]) { return (uint64_t)(uint32_t)val[0] << 32 | (uint32_t)val[1]; }

std::string read_table(int fd)
{
    std::string text;
    char buf[16384];
    if (lseek(fd, 0, SEEK_SET) != 0) return text;
    for (ssize_t n; (n = real::read(fd, buf, sizeof buf)) > 0;) text.append(buf, (size_t)n);
    return text;
}

std::string read_file(const char* path)
{
    int fd = real::open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return std::string();
    std::string text = read_table(fd);
    real::close(fd);
    return text;
}

// A descriptor for open_by_handle_at, which refuses O_PATH ones. Opening a
// directory raises no permission event: the marks do not ask for FAN_ONDIR.
int open_dir(const char* dir) { return real::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); }

void log_line(const std::string& point, const char* what, const char* reason)
{
    fprintf(stderr, "acdriver: %s: %s: %s\n", point.c_str(), what, reason);
}

// Why file handles of the file system at dir cannot be opened again; null when they can.
const char* handles_refused(const char* dir)
{
    struct {
        struct file_handle head;
        unsigned char bytes[MAX_HANDLE_SZ];
    } h;
    h.head.handle_bytes = MAX_HANDLE_SZ;
    int mount_id;
    if (name_to_handle_at(AT_FDCWD, dir, &h.head, &mount_id, 0) != 0) return strerror(errno);
    int d = open_dir(dir);
    int fd = d < 0 ? -1 : open_by_handle_at(d, &h.head, O_PATH | O_CLOEXEC);
    const char* why = fd < 0 ? strerror(errno) : nullptr;
    if (fd >= 0) real::close(fd);
    if (d >= 0) real::close(d);
    return why;
}

// Change notifications of the file system at dir; 0 or an errno.
int mark_file_system(int notif, const char* dir, bool* rename)
{
    const uint64_t base = FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_DELETE;
    const unsigned how = FAN_MARK_ADD | FAN_MARK_FILESYSTEM;
    if (*rename && fanotify_mark(notif, how, base | FAN_RENAME, AT_FDCWD, dir) == 0) return 0;
    if (*rename && errno != EINVAL) return errno;
    if (fanotify_mark(notif, how, base | FAN_MOVED_FROM | FAN_MOVED_TO, AT_FDCWD, dir) != 0) return errno;
    *rename = false;  // the kernel has no FAN_RENAME
    return 0;
}

// Permission events of the mount m, and change notifications of its file
// system unless already asked for. 0, or the errno of the mount mark.
int mark_mount(HostMounts* hm, int perm, int notif, bool* rename, const MountEntry& m)
{
    const char* dir = m.point.c_str();
    bool made_here = std::find(hm->outside.begin(), hm->outside.end(), std::make_pair(m.major, m.minor)) ==
                     hm->outside.end();
    const unsigned scope = hm->whole_everywhere || made_here ? FAN_MARK_FILESYSTEM : FAN_MARK_MOUNT;
    if (fanotify_mark(perm, FAN_MARK_ADD | scope, FAN_OPEN_EXEC_PERM | FAN_OPEN_PERM, AT_FDCWD, dir) != 0) {
        int err = errno;
        hm->marked.push_back({m.id, m.point, 0, false});
        return err;
    }
    struct statfs fs;
    if (statfs(dir, &fs) != 0) {
        log_line(m.point, "no change notifications", strerror(errno));
        hm->marked.push_back({m.id, m.point, 0, true});
        return 0;
    }
    uint64_t fsid = fsid_key(fs.f_fsid.__val);
    hm->marked.push_back({m.id, m.point, fsid, true});
    if (hm->file_systems.count(fsid)) return 0;
    const char* why = handles_refused(dir);
    int err = why ? 0 : mark_file_system(notif, dir, rename);
    if (err) why = strerror(err);
    if (why) log_line(m.point, "no change notifications", why);
    hm->file_systems[fsid].dir = why ? std::string() : m.point;
    return 0;
}

// After mounts were forgotten: each file system's handles are opened on a
// mount still watched, and one with none left is forgotten.
void rehome_file_systems(HostMounts* hm)
{
    for (auto it = hm->file_systems.begin(); it != hm->file_systems.end();) {
        std::string& dir = it->second.dir;
        bool kept = dir.empty(), found = false;
        std::string other;
        for (const auto& m : hm->marked) {
            if (m.fsid != it->first || !m.watched) continue;
            found = true;
            if (m.point == dir) kept = true;
            if (other.empty()) other = m.point;
        }
        if (!found) {
            it = hm->file_systems.erase(it);
            continue;
        }
        if (!kept) dir = other;
        ++it;
    }
}

}  // namespace

// Fills hm->outside (or whole_everywhere when protecting the initial
// namespace, as asked); false when the namespace this one was made from
// cannot be read.
bool outside_devices(HostMounts* hm, bool initial_allowed)
{
    pid_t outside = outside_ancestor();
    if (!outside) {
        hm->whole_everywhere = initial_allowed;
        return initial_allowed;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/mountinfo", (int)outside);
    std::string text = read_file(path);
    if (text.empty()) return false;
    for (const MountEntry& m : parse_mountinfo(text)) hm->outside.emplace_back(m.major, m.minor);
    return true;
}

int watch_host_mounts(HostMounts* hm, int perm, int notif, const Options& o, bool* rename, std::string* why)
{
    std::string own_link = mnt_ns(getpid()), init_link = mnt_ns(1);
    std::string own_table = read_file("/proc/self/mountinfo"), init_table = read_file("/proc/1/mountinfo");
    if (int err = check_namespace(own_link, init_link, own_table, init_table, o.initial_namespace, why)) return err;
    if (!outside_devices(hm, o.initial_namespace)) return refuse(why, EPERM, "cannot read the mount table this namespace was made from");
    char buf[64];
    if (read_small("/proc/sys/fs/nr_open", buf, sizeof buf) && strtoll(buf, nullptr, 10) >= kSyntheticFdBase)
        return refuse(why, EPERM, "fs.nr_open reaches the synthetic descriptor numbers");
    std::vector<std::string> points;
    for (const std::string& p : o.mounts) {
        char resolved[PATH_MAX];
        if (!realpath(p.c_str(), resolved)) return refuse(why, errno, p + ": " + strerror(errno));
        points.push_back(resolved);
    }
    int table = real::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC, 0);
    if (table < 0) return refuse(why, errno, std::string("/proc/self/mountinfo: ") + strerror(errno));
    std::vector<MountEntry> chosen;
    int err = select_mounts(parse_mountinfo(read_table(table)), points, o.fstypes, &chosen, why);
    for (size_t i = 0; !err && i < chosen.size(); i++) {
        int e = mark_mount(hm, perm, notif, rename, chosen[i]);
        if (e && !points.empty()) err = refuse(why, e, chosen[i].point + ": " + strerror(e));
        else if (e) log_line(chosen[i].point, "not watched", strerror(e));
    }
    if (!err && watched_points(*hm).empty()) err = refuse(why, ENOENT, "none of the chosen mounts could be watched");
    if (err || !points.empty()) {
        real::close(table);
        return err;
    }
    hm->table_fd = table;
    return 0;
}

void follow_mounts(Source& state)
{
    HostMounts* hm = &state.host;
    std::vector<MountEntry> table = parse_mountinfo(read_table(hm->table_fd)), chosen;
    if (table.empty()) return;  // unreadable now: keep what is watched
    std::string why;
    select_mounts(table, {}, state.opt.fstypes, &chosen, &why);  // none now is no error here
    auto same = [](const HostMounts::Marked& a, const MountEntry& b) { return a.id == b.id && a.point == b.point; };
    hm->marked.erase(std::remove_if(hm->marked.begin(), hm->marked.end(),
                                    [&](const HostMounts::Marked& a) {
                                        for (const MountEntry& m : chosen)
                                            if (same(a, m)) return false;
                                        return true;  // unmounted (the kernel drops its mark) or covered
                                    }),
                     hm->marked.end());
    rehome_file_systems(hm);
    bool rename;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        rename = state.rename_event;
    }
    for (const MountEntry& m : chosen) {
        bool known = false;
        for (const auto& a : hm->marked) known = known || same(a, m);
        if (known) continue;
        if (int e = mark_mount(hm, state.perm_fd, state.notif_fd, &rename, m))
            log_line(m.point, "not watched", strerror(e));
    }
    std::vector<std::string> points = watched_points(*hm);
    std::lock_guard<std::mutex> lock(state.mu);
    state.rename_event = rename;
    state.watched.swap(points);
    state.c.mount_changes++;
}

std::vector<std::string> watched_points(const HostMounts& hm)
{
    std::vector<std::string> out;
    for (const auto& m : hm.marked)
        if (m.watched) out.push_back(m.point);
    return out;
}

void close_host_mounts(HostMounts* hm)
{
    if (hm->table_fd >= 0) real::close(hm->table_fd);
    *hm = HostMounts();
}

int open_handle(Source& state, const struct fanotify_event_info_fid* info, struct file_handle* fh)
{
    if (!state.opt.host) return open_by_handle_at(state.mount_fd, fh, O_PATH | O_CLOEXEC);
    auto it = state.host.file_systems.find(fsid_key(info->fsid.val));
    if (it == state.host.file_systems.end() || it->second.dir.empty()) return -1;
    int dir = open_dir(it->second.dir.c_str());
    if (dir < 0) return -1;
    int fd = open_by_handle_at(dir, fh, O_PATH | O_CLOEXEC);
    real::close(dir);
    return fd;
}

}  // namespace drv::fan
