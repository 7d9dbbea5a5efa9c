// Stand-in for the agent's host core library.
#pragma once
#include <lua.hpp>

extern "C" {
void profiler_blockfilter(void);
void profiler_running(void);
int luaopen_vyacore(lua_State* L);
}
