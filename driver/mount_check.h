// The checks fanotify source makes before it watches a mount.
#pragma once
#include <string>

namespace drv::fan {

#include <sys/types.h>

// The nearest ancestor that lives in another mount namespace (this process's
// namespace was made below it), or 0 when there is none that can be read.
pid_t outside_ancestor();
// Sets *why to text and returns err.
int refuse(std::string* why, int err, const std::string& text);
// 0 when given names a tmpfs mount point (resolved into *dir) that is safe to
// watch: not /, not shared, its file system mounted only there and only in
// this process's private mount namespace; else an errno value and *why.
int check_mount(const std::string& given, std::string* dir, std::string* why);

}  // namespace drv::fan
