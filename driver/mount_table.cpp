// Parsing of the mount table and host mode's choice of mounts (mount_table.h).
#include "mount_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace drv::fan {

std::string unescape_mount_path(const char* s)
{
    std::string out;
    for (; *s; s++) {
        if (s[0] == '\\' && s[1] >= '0' && s[1] <= '7' && s[2] >= '0' && s[2] <= '7' && s[3] >= '0' && s[3] <= '7') {
            out += (char)((s[1] - '0') * 64 + (s[2] - '0') * 8 + (s[3] - '0'));
            s += 3;
        } else {
            out += *s;
        }
    }
    return out;
}

std::vector<MountEntry> parse_mountinfo(const std::string& text)
{
    std::vector<MountEntry> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        MountEntry m;
        int parent = 0;
        std::string point(line.size(), '\0'), fstype(line.size(), '\0');
        int used = 0;
        int n = sscanf(line.c_str(), "%d %d %u:%u %*s %s %*s%n", &m.id, &parent, &m.major, &m.minor, &point[0], &used);
        if (n < 5 || used == 0) continue;
        size_t sep = line.find(" - ", (size_t)used);
        if (sep == std::string::npos || sscanf(line.c_str() + sep + 3, "%s", &fstype[0]) != 1) continue;
        m.point = unescape_mount_path(point.c_str());
        m.fstype = fstype.c_str();
        out.push_back(m);
    }
    return out;
}

bool pseudo_fstype(const std::string& fstype)
{
    static const char* const kPseudo[] = {
        "proc", "sysfs", "cgroup", "cgroup2", "devtmpfs", "devpts", "debugfs", "tracefs", "securityfs",
        "bpf", "fusectl", "configfs", "pstore", "efivarfs", "mqueue", "hugetlbfs", "binfmt_misc", "autofs",
        "rpc_pipefs", "nfsd", "nsfs", "selinuxfs", "smackfs", "apparmorfs", "rootfs", "sockfs", "pipefs",
        "anon_inodefs", "bdev"};
    for (const char* p : kPseudo)
        if (fstype == p) return true;
    return false;
}

int select_mounts(const std::vector<MountEntry>& table, const std::vector<std::string>& points,
                  const std::vector<std::string>& fstypes, std::vector<MountEntry>* out, std::string* why)
{
    out->clear();
    // The mount on top of each point: the last one listed there.
    auto top = [&](const std::string& point) -> const MountEntry* {
        const MountEntry* found = nullptr;
        for (const MountEntry& m : table)
            if (m.point == point) found = &m;
        return found;
    };
    if (!points.empty()) {
        for (const std::string& p : points) {
            const MountEntry* m = top(p);
            if (!m) {
                *why = p + " is not a mount point";
                return EINVAL;
            }
            if (pseudo_fstype(m->fstype)) {
                *why = p + " is a " + m->fstype + " file system, which is never watched";
                return EPERM;
            }
            bool dup = false;
            for (const MountEntry& o : *out) dup = dup || o.point == m->point;
            if (!dup) out->push_back(*m);
        }
        return 0;
    }
    for (const MountEntry& m : table) {
        if (top(m.point) != &m || pseudo_fstype(m.fstype)) continue;
        for (const std::string& t : fstypes)
            if (m.fstype == t) {
                out->push_back(m);
                break;
            }
    }
    if (out->empty()) {
        std::string list;
        for (const std::string& t : fstypes) list += (list.empty() ? "" : ",") + t;
        *why = "no mount of the types " + list + " to watch";
        return ENOENT;
    }
    return 0;
}

int check_namespace(const std::string& own_link, const std::string& init_link, const std::string& own_table,
                    const std::string& init_table, bool allowed, std::string* why)
{
    if (allowed) return 0;
    bool same;
    if (!own_link.empty() && !init_link.empty()) {
        same = own_link == init_link;
    } else {
        std::vector<MountEntry> own = parse_mountinfo(own_table), init = parse_mountinfo(init_table);
        if (own.empty() || init.empty()) {
            *why = "cannot tell whether this is the initial mount namespace "
                   "(--watch-initial-namespace to watch anyway)";
            return EPERM;
        }
        same = false;
        for (const MountEntry& a : own)
            for (const MountEntry& b : init) same = same || a.id == b.id;
    }
    if (!same) return 0;
    *why = "refusing to watch the initial mount namespace without --watch-initial-namespace";
    return EPERM;
}

}  // namespace drv::fan
