// The fast path's counters as Lua tables: all of them, and the agent's
// statistics view with the exclude count.
#pragma once
#include <lua.hpp>

extern "C" {
int l_EventAbstractionStats(lua_State* L);
int l_BindStats(lua_State* L);
}
