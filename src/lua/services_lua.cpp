#include <mntent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ac/locks.h"
#include "lua/args.h"
#include "lua/ac_lua.h"
#include "vyacore.h"

extern "C" {

int l_GetInstalledSoftware(lua_State* L)
{
    lua_newtable(L);
    lua_newtable(L);
    return 2;
}

static int mount_point_failure(lua_State* L)
{
    lua_pushnil(L);
    lua_pushstring(L, strerror(EINVAL));
    lua_pushinteger(L, EINVAL);
    return 3;
}

int l_GetMountPointFromPath(lua_State* L)
{
    const char* path = lac_checkpath(L, 1);
    struct stat st;
    if (stat(path, &st) != 0) return mount_point_failure(L);
    FILE* mounts = setmntent("/proc/mounts", "r");
    if (!mounts) return mount_point_failure(L);
    struct mntent ent;
    char area[4096];
    bool found = false;
    while (getmntent_r(mounts, &ent, area, sizeof area)) {
        struct stat mst;
        if (stat(ent.mnt_dir, &mst) != 0) continue;
        if (mst.st_dev == st.st_dev) {
            lua_pushstring(L, ent.mnt_dir);
            found = true;
            break;
        }
    }
    endmntent(mounts);
    return found ? 1 : mount_point_failure(L);
}

int l_WriteEventLocally(lua_State* L)
{
    const char* text = luaL_checkstring(L, 1);
    syslog(LOG_INFO, "%s", text);
    return 0;
}

int l_corelimit(lua_State* L)
{
    struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &rl);
    return 0;
}

int l_panic(lua_State* L) { abort(); }

int l_nothing(lua_State* L) { return 0; }

int l_ProfilerBindings(lua_State* L)
{
    lua_pushlightuserdata(L, reinterpret_cast<void*>(&profiler_blockfilter));
    lua_pushlightuserdata(L, reinterpret_cast<void*>(&profiler_running));
    return 2;
}

int l_EnterCriticalSection(lua_State* L)
{
    sqlite_ops_lock();
    return 0;
}

int l_LeaveCriticalSection(lua_State* L)
{
    sqlite_ops_unlock();
    return 0;
}

int l_EnterAutoAuthorizeCommandCS(lua_State* L)
{
    autoAuthorizeCommandCS.Lock();
    return 0;
}

int l_LeaveAutoAuthorizeCommandCS(lua_State* L)
{
    autoAuthorizeCommandCS.Unlock();
    return 0;
}

int l_mockdriver(lua_State* L)
{
    luaL_argcheck(L, lua_type(L, 1) == LUA_TBOOLEAN, 1, "expected true or false");
    int flag = lua_toboolean(L, 1);
    mockLock.Lock();
    mockdriver = flag;
    mockLock.Unlock();
    return 0;
}

}  // extern "C"
