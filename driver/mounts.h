// Host mode's mounts: the ones chosen from the mount table, marked on the
// fanotify groups at start and, when chosen by type, followed as mounts come
// and go.
//
// Permission events are asked for on the whole file system where that holds
// no process of the machine beyond this namespace's reach: when protecting
// the initial namespace (every namespace and container is then covered), or
// for a file system made in this private namespace (not mounted in the
// namespace it was made from). Elsewhere (a private namespace's copy of the
// machine's mounts) on each mount only, so that the machine's own processes
// are never held. Change notifications are asked for once per file system. A file system
// that refuses the latter or whose file handles cannot be opened again
// (overlay without export support, a btrfs subvolume) is still watched for
// permission events; one line on standard error says its change
// notifications are missing.
//
// Names of changed files come from file handles, opened against a mount of
// the handle's file system (by the file-system id the event carries). No
// descriptor of a mount is kept: it would keep the mount busy (umount
// fails with EBUSY). The mount point is opened for each event; a directory
// open raises no permission event (the marks do not ask for FAN_ONDIR).
#pragma once
#include <fcntl.h>
#include <sys/fanotify.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace drv::fan {

struct Options;
struct Source;

struct HostMounts {
    struct Marked {
        int id;             // the mount's id in the mount table
        std::string point;
        uint64_t fsid;      // 0: unknown
        bool watched;       // false: the kernel refused the mark (not tried again)
    };
    struct FileSystem {
        std::string dir;    // a watched mount point of it; empty: no change notifications
    };
    bool whole_everywhere = false;  // protecting the initial namespace: file-system marks
    std::vector<std::pair<unsigned, unsigned>> outside;  // devices mounted where this namespace was made
    int table_fd = -1;      // the mount table, polled for changes (mounts chosen by type only)
    std::vector<Marked> marked;
    std::map<uint64_t, FileSystem> file_systems;
};

// Chooses and marks the mounts of host mode at start (before the reader
// runs). 0, or an errno with *why.
int watch_host_mounts(HostMounts* hm, int perm_fd, int notif_fd, const Options& o, bool* rename,
                      std::string* why);
// The reader: the mount table changed.
void follow_mounts(Source& state);
// The mount points watched now, for the status.
std::vector<std::string> watched_points(const HostMounts& hm);
void close_host_mounts(HostMounts* hm);
// open_by_handle_at for the directory handle of a notification (O_PATH).
int open_handle(Source& state, const struct fanotify_event_info_fid* info, struct file_handle* fh);

}  // namespace drv::fan
