// The mount table (/proc/<pid>/mountinfo) read as text, and host mode's
// choice of mounts from it. Pure functions: no file is read here.
#pragma once
#include <string>
#include <vector>

namespace drv::fan {

struct MountEntry {
    int id = 0;
    unsigned major = 0, minor = 0;
    std::string point;   // decoded
    std::string fstype;
};

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape_mount_path(const char* s);
// The mounts of a mountinfo text in its order (a later mount on the same
// point covers an earlier one); lines that do not parse are left out.
std::vector<MountEntry> parse_mountinfo(const std::string& text);
// Kernel interfaces and other file systems without files of programs
// (proc, sysfs, cgroup, ...): never watched.
bool pseudo_fstype(const std::string& fstype);
// The mounts to watch, one per mount point (the one on top): the given mount
// points, each of which must be a mount point of the table and not a pseudo
// file system; or, when points is empty, every mount whose type is in
// fstypes, pseudo file systems left out. 0, or an errno with *why.
int select_mounts(const std::vector<MountEntry>& table, const std::vector<std::string>& points,
                  const std::vector<std::string>& fstypes, std::vector<MountEntry>* out, std::string* why);
// Refuses (EPERM) when this process's mount namespace is the machine's
// initial one (process 1's), unless allowed. Told by the /proc/<pid>/ns/mnt
// links of this process and of 1 when both can be read (empty: not), else by
// their mount tables (a mount belongs to one namespace: an id in both means
// the same namespace); refused when neither can be told.
int check_namespace(const std::string& own_link, const std::string& init_link, const std::string& own_table,
                    const std::string& init_table, bool allowed, std::string* why);

}  // namespace drv::fan
