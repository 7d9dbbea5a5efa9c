#include <cstring>

#include "cache/process_cache.h"
#include "lua/args.h"
#include "lua/ac_lua.h"
#include "lua/result.h"

namespace {

constexpr const char* stat_keys[AC_PROC_STAT_COUNT] = {
    "procadd", "procchange", "procclear", "procremovehit", "procremovemiss", "prochit", "procmiss",
};

}  // namespace

extern "C" {

// AddProcess(pid, type, name): the type is a signed 32-bit value; the cache gets
// the name's first 16 bytes, zero-padded.
int l_AddProcess(lua_State* L)
{
    uint64_t pid = (uint64_t)luaL_checkinteger(L, 1);
    int64_t type = (int32_t)luaL_checkinteger(L, 2);
    size_t len;
    const char* name = luaL_checklstring(L, 3, &len);  // a 16-byte block, zero bytes and all
    char field[AC_PROC_NAME] = {};
    memcpy(field, name, len < sizeof field ? len : sizeof field);
    AddProcess(pid, (uint64_t)type, field);
    return 0;
}

// GetProcess(pid, name) -> type, or no value at all on a miss. A missing or
// non-numeric pid reads as 0, which always misses.
int l_GetProcess(lua_State* L)
{
    uint64_t pid = (uint64_t)lua_tointeger(L, 1);
    const char* name = lac_checkpath(L, 2);
    uint64_t type = GetProcess(pid, name);
    if (type == 0) return 0;
    lua_pushinteger(L, (lua_Integer)type);
    return 1;
}

// RemoveProcess(pid): the pid is cut to a signed 32-bit value.
int l_RemoveProcess(lua_State* L)
{
    int32_t pid = (int32_t)luaL_checkinteger(L, 1);
    RemoveProcess((int64_t)pid);
    return 0;
}

int l_ClearProcessCache(lua_State* L)
{
    ClearProcessCache();
    return 0;
}

// ProcCacheStats() -> table of the seven counters, each modulo 2^32.
int l_ProcCacheStats(lua_State* L)
{
    uint64_t stats[AC_PROC_STAT_COUNT];
    ProcCacheStats(stats);
    lua_createtable(L, 0, AC_PROC_STAT_COUNT);
    lac_set_counters(L, stat_keys, stats, AC_PROC_STAT_COUNT);
    return 1;
}

}  // extern "C"
