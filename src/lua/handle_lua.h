// The device handle as a Lua userdata with the metatable "vava.handle".
#pragma once
#include <lua.hpp>

#include "channel/handle.h"

#define LAC_HANDLE_META "vava.handle"

inline lac_handle* lac_checkhandle(lua_State* L, int idx)
{
    return static_cast<lac_handle*>(luaL_checkudata(L, idx, LAC_HANDLE_META));
}
