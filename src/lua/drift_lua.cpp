#include <cstring>

#include "cache/drift.h"
#include "lua/args.h"
#include "lua/cache_lua.h"
#include "lua/result.h"

extern "C" {

// Lua functions. Arguments are checked before the lock is taken, and results
// are pushed after it is released, so no Lua error can leave it held.

int l_DriftOpen(lua_State* L)
{
    uint32_t pid = (uint32_t)lac_checkrange(L, 1, 0, UINT32_MAX);
    int32_t fd = (int32_t)lac_checkrange(L, 2, INT32_MIN, INT32_MAX);
    DriftOpen(pid, fd);
    return 0;
}

int l_DriftCondOpen(lua_State* L)
{
    uint32_t pid = (uint32_t)lac_checkrange(L, 1, 0, UINT32_MAX);
    int32_t fd = (int32_t)lac_checkrange(L, 2, INT32_MIN, INT32_MAX);
    DriftCondOpen(pid, fd);
    return 0;
}

int l_DriftClose(lua_State* L)
{
    uint32_t pid = (uint32_t)lac_checkrange(L, 1, 0, UINT32_MAX);
    int32_t fd = (int32_t)lac_checkrange(L, 2, INT32_MIN, INT32_MAX);
    uint32_t is_drift = 0, new_filter = 0;
    DriftClose(pid, fd, &is_drift, &new_filter);
    lua_pushboolean(L, is_drift != 0);
    lua_pushboolean(L, new_filter != 0);
    return 2;
}

int l_DriftDupTrackPossibleClose(lua_State* L)
{
    uint32_t pid = (uint32_t)lac_checkrange(L, 1, 0, UINT32_MAX);
    int32_t oldfd = (int32_t)lac_checkrange(L, 2, INT32_MIN, INT32_MAX);
    int32_t fd = (int32_t)lac_checkrange(L, 3, INT32_MIN, INT32_MAX);
    if (DriftDupTrackPossibleClose(pid, oldfd, fd) == 1) return 0;
    lua_pushboolean(L, 0);
    return 1;
}

int l_DriftDup(lua_State* L)
{
    uint32_t pid = (uint32_t)lac_checkrange(L, 1, 0, UINT32_MAX);
    int32_t oldfd = (int32_t)lac_checkrange(L, 2, INT32_MIN, INT32_MAX);
    int32_t fd = (int32_t)lac_checkrange(L, 3, INT32_MIN, INT32_MAX);
    char name[DRIFT_NAME_BUFFER];
    int32_t len;
    int r = DriftDupName(pid, oldfd, fd, name, sizeof name, &len);
    if (len >= 0)
        lua_pushlstring(L, name, (size_t)len);
    else
        lua_pushnil(L);
    if (r != 1) return 1;
    lua_pushboolean(L, 1);
    return 2;
}

int l_DriftClear(lua_State* L)
{
    (void)L;
    DriftClear();
    return 0;
}

int l_DriftStats(lua_State* L)
{
    uint64_t counters[DRIFT_COUNTER_COUNT];
    int64_t cooldown;
    uint64_t head, tail;
    DriftStatsSnapshot(counters, &cooldown, &head, &tail);

    lua_createtable(L, 0, DRIFT_COUNTER_COUNT + 4);
    lac_set_counters(L, drift_counter_names, counters, DRIFT_COUNTER_COUNT);
    static const char* const ring_names[] = {"cooldown", "current", "total", "max"};
    const uint64_t ring[] = {(uint64_t)cooldown, head - tail, head, DRIFT_RING_SIZE};
    lac_set_counters(L, ring_names, ring, 4);
    return 1;
}

}  // extern "C"
