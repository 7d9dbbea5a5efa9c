// Process and path information read from /proc. Stateless and re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>
#include <lua.hpp>

extern "C" {
int IsProcessAlive(uint32_t pid);  // true when the process has gone
long GetFileNameFromPidAndFd(int32_t pid, int32_t fd, char* out, size_t size);
int GetProcNameFromPid(unsigned long pid, char* out);
// The name as process pid sees it (absolute names under its root, others under
// dirfd, or its working directory for AC_FD_CWD), resolved. Writes the first
// min(n, PATH_MAX) bytes of out: the text, then zeros. Returns 1.
int GetRealPath(uint32_t pid, const char* name, int32_t dirfd, char* out, size_t n);

int l_GetRealPath(lua_State* L);
int l_GetFileNameFromPidAndFd(lua_State* L);
int l_GetProcNameFromPid(lua_State* L);
int l_GetProcCwdFromPid(lua_State* L);
}
