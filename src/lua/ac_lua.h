// Module ac's Lua functions.
#pragma once
#include <lua.hpp>

#include "base/limits.h"


extern "C" {
// Small services
int l_GetInstalledSoftware(lua_State* L);
int l_GetMountPointFromPath(lua_State* L);
int l_WriteEventLocally(lua_State* L);
int l_corelimit(lua_State* L);
int l_panic(lua_State* L);
int l_nothing(lua_State* L);
int l_ProfilerBindings(lua_State* L);
int l_EnterCriticalSection(lua_State* L);
int l_LeaveCriticalSection(lua_State* L);
int l_EnterAutoAuthorizeCommandCS(lua_State* L);
int l_LeaveAutoAuthorizeCommandCS(lua_State* L);
int l_mockdriver(lua_State* L);

// Process cache
int l_AddProcess(lua_State* L);
int l_GetProcess(lua_State* L);
int l_RemoveProcess(lua_State* L);
int l_ClearProcessCache(lua_State* L);
int l_ProcCacheStats(lua_State* L);

// Rule-set files: read through file, cipher and zlib filters into one string.
int l_DecryptRuleset(lua_State* L);

// File hashing
int l_HashNull(lua_State* L);
int l_HashString(lua_State* L);
int l_HashPrimary(lua_State* L);
int l_HashSecondary(lua_State* L);
int l_HashAll(lua_State* L);

// Filter set
int l_AddToFilterSet(lua_State* L);
int l_ClearFilterSet(lua_State* L);
int l_GetfilledPositionsCount(lua_State* L);
int l_IsLikelyInSet(lua_State* L);
int l_SetBypassFilterState(lua_State* L);
int l_FilterSetStats(lua_State* L);

// Statistics variables
int l_InitStats(lua_State* L);
int l_StatNames(lua_State* L);
int l_GetStatsAll(lua_State* L);
int l_StatsEvent(lua_State* L);
int l_GetStatsVar(lua_State* L);
int l_SetStatsVar(lua_State* L);
int l_IncStatsVar(lua_State* L);
int l_ClearStatsVar(lua_State* L);

// Dumps into the host's zip stream: "ac/exec_cache" and "ac/drift", and "ac/filterSet".
int l_CacheDump(lua_State* L);
int l_FilterSetDump(lua_State* L);

// Schema-update handshake
int l_ShouldUpdateSchema(lua_State* L);
int l_UpdatedSchema(lua_State* L);
}
