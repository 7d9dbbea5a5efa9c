// acagent.files: stat identity, realpath and directory listings for policy code.
#include "file_info.h"

#include <dirent.h>
#include <lua.hpp>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int fail(lua_State* L, int err, const char* call, const char* path)
{
    lua_pushnil(L);
    lua_pushinteger(L, err);
    lua_pushfstring(L, "%s(\"%s\"): %s", call, path, strerror(err));
    return 3;
}

// identity(path): "dev:ino:size:mtime:ctime" (times in ns), size, whether it
// is a regular file. Any change of content moves the ctime, so a verdict
// stored under the identity is stale once it differs.
int l_identity(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    struct stat st;
    if (stat(path, &st) != 0) return fail(L, errno, "stat", path);
    char key[160];
    snprintf(key, sizeof key, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld", (unsigned long long)st.st_dev,
             (unsigned long long)st.st_ino, (long long)st.st_size, (long long)st.st_mtim.tv_sec,
             st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    lua_pushstring(L, key);
    lua_pushnumber(L, (lua_Number)st.st_size);
    lua_pushboolean(L, S_ISREG(st.st_mode));
    return 3;
}

int l_realpath(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    char buf[PATH_MAX];
    if (!realpath(path, buf)) return fail(L, errno, "realpath", path);
    lua_pushstring(L, buf);
    return 1;
}

// list(dir): the names in dir (without . and ..), unsorted.
int l_list(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    lua_newtable(L);
    DIR* d = opendir(path);
    if (!d) return fail(L, errno, "opendir", path);
    int n = 0;
    while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        lua_pushstring(L, e->d_name);
        lua_rawseti(L, -2, ++n);
    }
    closedir(d);
    return 1;
}

// mkdir(path [, mode]): true when the directory exists afterwards.
int l_mkdir(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    mode_t mode = (mode_t)luaL_optinteger(L, 2, 0755);
    struct stat st;
    if (mkdir(path, mode) != 0 && !(errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)))
        return fail(L, errno, "mkdir", path);
    lua_pushboolean(L, 1);
    return 1;
}

}  // namespace

int open_file_info_module(lua_State* L)
{
    static const luaL_Reg fns[] = {
        {"identity", l_identity},
        {"realpath", l_realpath},
        {"list", l_list},
        {"mkdir", l_mkdir},
        {nullptr, nullptr},
    };
    luaL_newlib(L, fns);
    return 1;
}

void preload(lua_State* L, const char* name, int (*opener)(lua_State*))
{
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "preload");
    lua_pushcfunction(L, opener);
    lua_setfield(L, -2, name);
    lua_pop(L, 2);
}

void preload_file_info(lua_State* L)
{
    preload(L, "acagent.files", open_file_info_module);
}
