// The caches' and /proc readers' Lua functions (module lacdc).
#pragma once
#include <lua.hpp>

extern "C" {
// Drift table
int l_DriftClear(lua_State* L);
int l_DriftClose(lua_State* L);
int l_DriftCondOpen(lua_State* L);
int l_DriftDup(lua_State* L);
int l_DriftDupTrackPossibleClose(lua_State* L);
int l_DriftOpen(lua_State* L);
int l_DriftStats(lua_State* L);
int l_DriftFreshFilter(lua_State* L);
int l_quickIMFilter(lua_State* L);

// Object cache
int l_AddToCache(lua_State* L);
int l_IsCached(lua_State* L);
int l_RemoveFromCache(lua_State* L);
int l_ClearCache(lua_State* L);
int l_CacheStats(lua_State* L);

// /proc readers
int l_GetRealPath(lua_State* L);
int l_GetFileNameFromPidAndFd(lua_State* L);
int l_GetProcNameFromPid(lua_State* L);
int l_GetProcCwdFromPid(lua_State* L);

// Process types and trusted paths
int l_GetProcessInterpreterType(lua_State* L);
int l_IsExtensionInterpreted(lua_State* L);
int l_IsTrustedPath(lua_State* L);
int l_IsPrelink(lua_State* L);
}
