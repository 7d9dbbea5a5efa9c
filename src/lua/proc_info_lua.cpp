#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/event_record.h"
#include "cache/proc_info.h"
#include "lua/args.h"
#include "lua/cache_lua.h"
#include "lua/result.h"

namespace {

constexpr size_t PUSH_TARGET_MAX = 4096;

int push_link(lua_State* L, const char* link)
{
    char target[PUSH_TARGET_MAX];
    ssize_t n = readlink(link, target, sizeof target);
    if (n < 0) return l_pushresult(L, errno, "readlink(\"%s\")", link);
    lua_pushlstring(L, target, (size_t)n);
    return 1;
}

}  // namespace

extern "C" {

// Lua: GetRealPath(pid, name [, dirfd])
int l_GetRealPath(lua_State* L)
{
    uint32_t pid = (uint32_t)lac_checkrange(L, 1, 0, UINT32_MAX);
    const char* name = lac_checkpath(L, 2);
    int32_t dirfd = lua_type(L, 3) == LUA_TNUMBER ? (int32_t)lac_checkrange(L, 3, INT32_MIN, INT32_MAX) : AC_FD_CWD;
    char link[LINK_NAME];
    anchor_link(link, pid, name, dirfd);
    char joined[JOIN_MAX];
    const char* text = join_anchor(link, name, joined);
    if (!text) {
        int err = errno;
        lua_pushstring(L, name);
        lua_pushfstring(L, "readlink(\"%s\"): %s", link, strerror(err));
        lua_pushinteger(L, err);
        return 3;
    }
    char resolved[PATH_MAX] = {};
    if (!realpath(text, resolved)) {
        int err = errno;
        lua_pushstring(L, text);
        lua_pushstring(L, strerror(err));
        lua_pushinteger(L, err);
        return 3;
    }
    lua_pushstring(L, resolved);
    return 1;
}

int l_GetFileNameFromPidAndFd(lua_State* L)
{
    int pid = (int)lac_checkrange(L, 1, INT32_MIN, INT32_MAX);
    int fd = (int)lac_checkrange(L, 2, INT32_MIN, INT32_MAX);
    char link[LINK_NAME];
    if (fd == AC_FD_CWD)
        snprintf(link, sizeof link, "/proc/%d/cwd", pid);
    else
        snprintf(link, sizeof link, "/proc/%d/fd/%d", pid, fd);
    return push_link(L, link);
}

int l_GetProcNameFromPid(lua_State* L)
{
    char link[LINK_NAME];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)lac_checkrange(L, 1, INT32_MIN, INT32_MAX));
    return push_link(L, link);
}

int l_GetProcCwdFromPid(lua_State* L)
{
    char link[LINK_NAME];
    snprintf(link, sizeof link, "/proc/%d/cwd", (int)lac_checkrange(L, 1, INT32_MIN, INT32_MAX));
    return push_link(L, link);
}

}  // extern "C"
