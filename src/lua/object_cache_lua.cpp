#include <cstring>

#include "cache/object_cache.h"
#include "lua/args.h"
#include "lua/cache_lua.h"
#include "lua/result.h"

extern "C" {

// ---- Lua functions. No lock is held and no C++ object with a destructor is
// alive where these may raise.

int l_AddToCache(lua_State* L)
{
    const char* path = lac_checkpath(L, 1);
    int32_t type = (int32_t)lua_tointeger(L, 2);  // a non-number counts as 0
    const char* ruleset = lac_optpath(L, 3);
    if (AddToCache(path, type, ruleset) == AC_CACHE_HASH_FAILED) return luaL_error(L, "Failed hash");
    lua_pushboolean(L, 1);
    return 1;
}

int l_IsCached(lua_State* L)
{
    const char* path = lac_checkpath(L, 1);
    char ruleset[AC_RULESET_TEXT_MAX];
    memset(ruleset, 0, sizeof ruleset);
    int32_t type = 0;
    uint64_t size = 0;   // stays 0 when the lookup ends with -2
    uint32_t isexec = 0;
    if (IsCached(path, &type, ruleset, &size, &isexec) == AC_CACHE_HASH_FAILED) return luaL_error(L, "Failed hash");
    if (type == AC_CACHE_NONE && lua_istable(L, 2)) {
        lua_pushunsigned(L, (lua_Unsigned)size);
        lua_setfield(L, 2, "size");
        lua_pushboolean(L, isexec != 0);
        lua_setfield(L, 2, "isexec");
    }
    lua_pushunsigned(L, (lua_Unsigned)(uint32_t)type);
    if (ruleset[0] == '\0') return 1;
    lua_pushstring(L, ruleset);
    return 2;
}

int l_RemoveFromCache(lua_State* L)
{
    const char* path = lac_checkpath(L, 1);
    int r = RemoveFromCache(path);
    if (r == AC_CACHE_HASH_FAILED) return luaL_error(L, "Failed hash");
    lua_pushboolean(L, r == AC_CACHE_DONE);
    return 1;
}

int l_ClearCache(lua_State* L)
{
    ClearCache();
    return 0;
}

int l_CacheStats(lua_State* L)
{
    uint64_t stats[AC_CACHE_STAT_COUNT];
    CacheStats(stats);
    lua_createtable(L, 0, AC_CACHE_STAT_COUNT);
    lac_set_counters(L, ac_cache_stat_names, stats, AC_CACHE_STAT_COUNT);
    return 1;
}

}  // extern "C"
