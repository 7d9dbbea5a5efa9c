// Names for the engine. The engine joins the text of /proc/<pid>/root with a
// record's name and resolves the result in the agent's mount namespace, so a
// name is made from a path of that namespace that leads to the event's very
// file (same device and inode), never from the text a descriptor prints.
#include "file_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/event_record.h"
#include "proc_identity.h"
#include "real_libc.h"
#include "source_state.h"

namespace drv::fan {
namespace {

bool leads_to(const std::string& path, const struct stat& st)
{
    struct stat now;
    return !path.empty() && path[0] == '/' && stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
           now.st_ino == st.st_ino;
}

// The file reopened through a mount of its file system in this namespace.
std::string through_mount(int mount_fd, const struct stat& st, struct file_handle* fh)
{
    struct stat ms;
    if (mount_fd < 0 || fstat(mount_fd, &ms) != 0 || ms.st_dev != st.st_dev) return std::string();
    int fd = open_by_handle_at(mount_fd, fh, O_PATH | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string path = fd_path(fd);
    real::close(fd);
    return leads_to(path, st) ? path : std::string();
}

}  // namespace

std::string verified_path(Source& state, int fd, const struct stat& st)
{
    std::string path = fd_path(fd);
    if (leads_to(path, st)) return path;
    // Printed from another namespace or root, or covered by another mount:
    // the same file through a mount of this namespace.
    struct {
        struct file_handle fh;
        unsigned char bytes[MAX_HANDLE_SZ];
    } h;
    h.fh.handle_bytes = MAX_HANDLE_SZ;
    int mount_id;
    if (name_to_handle_at(fd, "", &h.fh, &mount_id, AT_EMPTY_PATH) != 0) return std::string();
    int mount_fd;
    std::vector<std::string> watched;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        mount_fd = state.mount_fd;
        watched = state.watched;
    }
    path = through_mount(mount_fd, st, &h.fh);
    for (size_t i = 0; path.empty() && i < watched.size(); i++) {
        int m = real::open(watched[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        if (m < 0) continue;
        path = through_mount(m, st, &h.fh);
        real::close(m);
    }
    return path;
}

bool name_for(pid_t pid, const std::string& path, std::string* name)
{
    char root[PATH_MAX];
    ssize_t n = proc_link(pid, "root", root, sizeof root);
    if (n <= 0 || n == (ssize_t)sizeof root || path.empty()) return false;
    size_t len = (size_t)n;
    if (len == 1 && root[0] == '/') {
        *name = path;
    } else {
        if (root[len - 1] == '/') len--;  // joined with one slash either way
        if (path.compare(0, len, root, len) != 0 || (path.size() > len && path[len] != '/')) return false;
        *name = path.size() == len ? "/" : path.substr(len);
    }
    return name->size() <= AC_NAME_FIELD;
}

uint64_t file_key(dev_t dev, ino_t ino)
{
    uint64_t k = (uint64_t)ino * 0x9E3779B97F4A7C15ull ^ (uint64_t)dev;
    return k ^ (k >> 29);
}

uint64_t file_key(const std::string& path)
{
    uint64_t k = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : path) k = (k ^ c) * 1099511628211ull;
    return k;
}

}  // namespace drv::fan
