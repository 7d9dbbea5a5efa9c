// The last reference to the notification group, held by a child process so
// that a dying watcher never releases both groups itself (fanotify_source.h,
// "Exit").
#pragma once

namespace drv::fan {

// Forks the keeper of notif_fd: 0, or an errno.
int start_keeper(int notif_fd);
// Ends the keeper and waits for it. Call once the permission group is closed:
// the keeper's release of the notification group waits for every permission
// event pending on the marked objects.
void stop_keeper();

}  // namespace drv::fan
