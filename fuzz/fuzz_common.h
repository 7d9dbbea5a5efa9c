// Shared by the fuzz targets: a Lua state with the driver-channel module, and
// calls into Lua that cannot escape the target (a Lua error is an expected
// outcome of bad input, never a finding; a sanitizer report or a trap is).
#pragma once
#include <lua.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int luaopen_lacdc(lua_State* L);
extern "C" int luaopen_ac(lua_State* L);

namespace fuzz {

// A fresh state with the standard libraries and the modules "lacdc" and "ac"
// in package.loaded and as globals of those names.
inline lua_State* new_state()
{
    lua_State* L = luaL_newstate();
    if (!L) abort();
    luaL_openlibs(L);
    luaL_requiref(L, "lacdc", luaopen_lacdc, 1);
    luaL_requiref(L, "ac", luaopen_ac, 1);
    lua_settop(L, 0);
    return L;
}

// lua_pcall that keeps nargs arguments and the function below them; returns
// the status and leaves the results (or the error) on the stack.
inline int pcall(lua_State* L, int nargs, int nresults = LUA_MULTRET)
{
    return lua_pcall(L, nargs, nresults, 0);
}

// Stops the run with a crash libFuzzer records, for a broken invariant.
[[noreturn]] inline void invariant_failed(const char* what)
{
    fprintf(stderr, "fuzz: invariant broken: %s\n", what);
    abort();
}

#define FUZZ_CHECK(cond) \
    do { if (!(cond)) ::fuzz::invariant_failed(#cond); } while (0)

}  // namespace fuzz
