// Exempt programs: their processes' permission events are allowed at once and
// make no record. A program is its file (device and inode), so a copy or a
// new build at the same path is not exempt, and any path of the file is.
#include <sys/fanotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mount_check.h"
#include "source_state.h"

namespace drv::fan {

int exempt_ids(const std::vector<std::string>& paths, std::vector<std::pair<dev_t, ino_t>>* ids, std::string* why)
{
    ids->clear();
    for (const std::string& path : paths) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return refuse(why, errno, "exempt program " + path + ": " + strerror(errno));
        ids->emplace_back(st.st_dev, st.st_ino);
    }
    return 0;
}

bool allow_exempt(Source& state, const struct fanotify_event_metadata* m)
{
    if (state.exempt.empty()) return false;  // set by start() before the reader runs
    char exe[32];
    snprintf(exe, sizeof exe, "/proc/%d/exe", (int)m->pid);
    struct stat st;
    if (stat(exe, &st) != 0) return false;
    for (const auto& id : state.exempt) {
        if (id.first != st.st_dev || id.second != st.st_ino) continue;
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.exempt++;
        respond_locked(state, m->fd, true);
        return true;
    }
    return false;
}

}  // namespace drv::fan
