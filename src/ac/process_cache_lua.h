// Lua functions of module ac over the process cache.
#pragma once
#include <lua.hpp>

extern "C" {
int l_AddProcess(lua_State* L);
int l_GetProcess(lua_State* L);
int l_RemoveProcess(lua_State* L);
int l_ClearProcessCache(lua_State* L);
int l_ProcCacheStats(lua_State* L);
}
