// Names for the engine that resolve to exactly the file of an event
// (fanotify_source.h, "Names").
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace drv::fan {

struct Source;

// The path, in this process's mount namespace, of the file open on fd (whose
// fstat is st), checked to lead to that file; empty when none does.
std::string verified_path(Source& state, int fd, const struct stat& st);
// The name N for process pid such that the text of /proc/<pid>/root joined
// with N is path; false when there is none.
bool name_for(pid_t pid, const std::string& path, std::string* name);
// The key that sends every record about one file to one handle.
uint64_t file_key(dev_t dev, ino_t ino);
uint64_t file_key(const std::string& path);

}  // namespace drv::fan
