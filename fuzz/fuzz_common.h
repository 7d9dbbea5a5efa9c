// Shared by the fuzz targets: a Lua state with the engine's modules, and the
// check that stops a run. A Lua error is an expected outcome of bad input,
// never a finding; a sanitizer report or a broken check is.
#pragma once
#include <lua.hpp>

#include <cstdio>
#include <cstdlib>

extern "C" int luaopen_lacdc(lua_State* L);
extern "C" int luaopen_ac(lua_State* L);

#define FUZZ_CHECK(cond) \
    do { if (!(cond)) fprintf(stderr, "fuzz: invariant broken: %s\n", #cond), abort(); } while (0)

namespace fuzz {

// A fresh state with the standard libraries and the globals lacdc and ac.
inline lua_State* new_state()
{
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "lacdc", luaopen_lacdc, 1);
    luaL_requiref(L, "ac", luaopen_ac, 1);
    lua_settop(L, 0);
    return L;
}

// Clears the stack and, every so often, collects what the runs left.
inline void end_run(lua_State* L, unsigned every)
{
    static unsigned runs;
    lua_settop(L, 0);
    if (++runs % every == 0) lua_gc(L, LUA_GCCOLLECT, 0);
}

}  // namespace fuzz

#if __has_include("machine.h")  // the targets that link the simulated driver
#include "machine.h"
namespace fuzz {
// The driver loaded with its node; a handle opened by lacdc.open(), kept in the registry.
inline int open_sim_handle(lua_State* L)
{
    drv::reset();
    drv::Setup s;
    s.hook = s.driver = s.node = 1;
    drv::setup(s);
    if (luaL_dostring(L, "return assert(lacdc.open())") != LUA_OK) {
        fprintf(stderr, "fuzz: cannot open the simulated device: %s\n", lua_tostring(L, -1));
        abort();
    }
    return luaL_ref(L, LUA_REGISTRYINDEX);
}
}  // namespace fuzz
#endif
