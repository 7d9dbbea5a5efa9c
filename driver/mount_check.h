// The checks fanotify source makes before it watches a mount.
#pragma once
#include <string>

namespace drv::fan {

// Sets *why to text and returns err.
int refuse(std::string* why, int err, const std::string& text);
// 0 when given names a tmpfs mount point (resolved into *dir) that is safe to
// watch: not /, not shared, its file system mounted only there and only in
// this process's private mount namespace; else an errno value and *why.
int check_mount(const std::string& given, std::string* dir, std::string* why);

}  // namespace drv::fan
