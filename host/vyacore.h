// Stand-in for the agent's host core library: profiler hooks, document object
// (vyacore_dom.h), zip output stream (vyacore_zip.h), Lua binding
// (vyacore_binding.h) and the Lua module "vyacore" that creates host objects.
#pragma once
#include <lua.hpp>

extern "C" {
void profiler_blockfilter(void);
void profiler_running(void);
// Calls so far of the two hooks above.
void vyacore_profiler_counts(unsigned long* blockfilter, unsigned long* running);
int luaopen_vyacore(lua_State* L);
}
