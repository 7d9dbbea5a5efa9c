// Lua AbstractEvent(event): the fast path on an event described by a table.
#pragma once
#include <lua.hpp>

extern "C" int l_AbstractEvent(lua_State* L);
