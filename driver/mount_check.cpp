// Where fanotify source may watch: a tmpfs mount made in a private mount namespace
// of this process's own, mounted nowhere else.
#include "mount_check.h"

#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "fanotify_source.h"
#include "mount_table.h"
#include "proc_identity.h"
#include "real_libc.h"

#ifndef TMPFS_MAGIC
#define TMPFS_MAGIC 0x01021994
#endif

namespace drv::fan {
namespace {

// The mountinfo line of the mount at dir (the topmost one), split.
struct MountLine {
    bool readable = false;
    bool found = false;
    std::string fstype, optional;
    unsigned major = 0, minor = 0;
    unsigned same_device = 0;  // mounts of the same file system
};

// Reads a mountinfo file: the mount at dir (when dir is not empty) and how
// many mounts have the file system major:minor (of that mount, or the given
// one when dir is empty).
MountLine read_mountinfo(const char* file, const std::string& dir, unsigned major_in = 0, unsigned minor_in = 0)
{
    MountLine m;
    m.major = major_in;
    m.minor = minor_in;
    FILE* f = real::fopen(file, "r");
    if (!f) return m;
    m.readable = true;
    std::vector<std::pair<unsigned, unsigned>> devices;
    char line[8192];
    while (fgets(line, sizeof line, f)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        unsigned id, parent, major, minor;
        char root[4096], point[4096];
        int used = 0;
        if (sscanf(line, "%u %u %u:%u %4095s %4095s %n", &id, &parent, &major, &minor, root, point, &used) < 6)
            continue;
        devices.emplace_back(major, minor);
        if (dir.empty() || unescape_mount_path(point) != dir) continue;
        const char* rest = line + used;
        const char* sep = strstr(rest, " - ");
        if (!sep) continue;
        // rest: "options [optional fields] - ..."
        const char* opt_end = strchr(rest, ' ');
        m.optional = opt_end && opt_end < sep ? std::string(opt_end, sep) : std::string();
        char fstype[256] = "";
        sscanf(sep + 3, "%255s", fstype);
        m.fstype = fstype;
        m.major = major;
        m.minor = minor;
        m.found = true;
    }
    fclose(f);
    for (auto& d : devices)
        if (d.first == m.major && d.second == m.minor) m.same_device++;
    return m;
}

}  // namespace

// The nearest ancestor that lives in another mount namespace (this process's
// namespace was made below it), or 0 when there is none that can be read.
pid_t outside_ancestor()
{
    std::string mine = mnt_ns(getpid());
    if (mine.empty()) return 0;
    for (pid_t p = parent_of(getpid()); p > 0; p = parent_of(p)) {
        std::string theirs = mnt_ns(p);
        if (theirs.empty()) return 0;  // unreadable: stop looking
        if (theirs != mine) return p;
        if (p == 1) break;
    }
    return 0;
}
int refuse(std::string* why
, int err, const std::string& text)
{
    *why = text;
    return err;
}

int check_mount(const std::string& given, std::string* dir, std::string* why)
{
    if (given.empty() || given[0] != '/') return refuse(why, EINVAL, "mount must be an absolute path");
    char resolved[PATH_MAX];
    if (!realpath(given.c_str(), resolved)) return refuse(why, errno, given + ": " + strerror(errno));
    *dir = resolved;
    if (*dir == "/") return refuse(why, EPERM, "refusing to watch /");
    struct statfs fs;
    if (statfs(resolved, &fs) != 0) return refuse(why, errno, *dir + ": " + strerror(errno));
    if ((unsigned long)fs.f_type != (unsigned long)TMPFS_MAGIC) return refuse(why, EPERM, *dir + " is not a tmpfs");
    MountLine m = read_mountinfo("/proc/self/mountinfo", *dir);
    if (!m.found) return refuse(why, EPERM, *dir + " is not a mount point");
    if (m.fstype != "tmpfs") return refuse(why, EPERM, *dir + " is not a tmpfs mount");
    if (m.optional.find("shared:") != std::string::npos) return refuse(why, EPERM, *dir + " is a shared mount");
    if (m.same_device != 1) return refuse(why, EPERM, *dir + ": its file system is mounted elsewhere too");
    pid_t outside = outside_ancestor();
    if (!outside) return refuse(why, EPERM, "not in a private mount namespace of its own (run under unshare -m)");
    // Made in this namespace: the namespace it was made from does not have it.
    char outside_info[64];
    snprintf(outside_info, sizeof outside_info, "/proc/%d/mountinfo", (int)outside);
    MountLine there = read_mountinfo(outside_info, std::string(), m.major, m.minor);
    if (!there.readable || there.same_device != 0)
        return refuse(why, EPERM, *dir + ": its file system is mounted outside this mount namespace too");
    char buf[64];
    if (read_small("/proc/sys/fs/nr_open", buf, sizeof buf) && strtoll(buf, nullptr, 10) >= kSyntheticFdBase)
        return refuse(why, EPERM, "fs.nr_open reaches the synthetic descriptor numbers");
    return 0;
}

}  // namespace drv::fan
