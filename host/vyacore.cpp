// Lua module "vyacore" and the host profiler functions.
#include "vyacore.h"

#include <atomic>

static std::atomic<unsigned long> blockfilter_calls{0};
static std::atomic<unsigned long> running_calls{0};

extern "C" void profiler_blockfilter(void) { blockfilter_calls.fetch_add(1, std::memory_order_relaxed); }
extern "C" void profiler_running(void) { running_calls.fetch_add(1, std::memory_order_relaxed); }

static int l_profiler_counts(lua_State* L)
{
    lua_pushnumber(L, (lua_Number)blockfilter_calls.load(std::memory_order_relaxed));
    lua_pushnumber(L, (lua_Number)running_calls.load(std::memory_order_relaxed));
    return 2;
}

static const luaL_Reg vyacore_fns[] = {
    {"profiler_counts", l_profiler_counts},
    {nullptr, nullptr},
};

extern "C" int luaopen_vyacore(lua_State* L)
{
    luaL_newlib(L, vyacore_fns);
    return 1;
}
