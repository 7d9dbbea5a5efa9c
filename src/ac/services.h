// Small services of module ac.
#pragma once
#include <lua.hpp>

extern "C" {
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
}
