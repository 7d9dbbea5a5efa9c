// Process and path information read from /proc. Stateless and re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" {
int IsProcessAlive(uint32_t pid);  // true when the process has gone
long GetFileNameFromPidAndFd(int32_t pid, int32_t fd, char* out, size_t size);
int GetProcNameFromPid(unsigned long pid, char* out);
// The name as process pid sees it (absolute names under its root, others under
// dirfd, or its working directory for AC_FD_CWD), resolved. Writes the first
// min(n, PATH_MAX) bytes of out: the text, then zeros. Returns 1.
int GetRealPath(uint32_t pid, const char* name, int32_t dirfd, char* out, size_t n);
}

constexpr size_t LINK_NAME = 128;  // room for every /proc link name built here
constexpr size_t JOIN_MAX = 8192;

// The /proc link a name is relative to: the process's root for an absolute
// name, its working directory for AC_FD_CWD, else its descriptor dirfd.
void anchor_link(char* link, uint32_t pid, const char* name, int32_t dirfd);
// The name as the process sees it: anchor target joined with the name (in
// joined, JOIN_MAX bytes). Returns the text to resolve, or null with errno set
// when the anchor is unreadable.
const char* join_anchor(const char* link, const char* name, char* joined);

// True when text occurs in the first line of the process's command line (the
// program name as it was started, up to its first NUL).
bool IsOnCommandLine(uint64_t pid, const char* text);
