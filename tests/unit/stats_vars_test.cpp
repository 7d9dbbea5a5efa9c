// Statistics variables under threads: every thread has its own Lua state, as
// the agent's workers do, and all share the slots.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ac/stats_vars.h"

namespace {

// Calls a module function with a stat and an optional number; returns the
// error text, empty on success.
std::string call(lua_State* L, lua_CFunction fn, const char* name, int index, double n = 0, int nres = 0)
{
    lua_pushcfunction(L, fn);
    if (name)
        lua_pushstring(L, name);
    else
        lua_pushinteger(L, index);
    lua_pushnumber(L, n);
    if (lua_pcall(L, 2, nres, 0) == 0) return "";
    std::string err = lua_tostring(L, -1);
    lua_pop(L, 1);
    return err;
}

double get(lua_State* L, int index)
{
    EXPECT_EQ(call(L, l_GetStatsVar, nullptr, index, 0, 1), "");
    double v = lua_isnil(L, -1) ? -1 : lua_tonumber(L, -1);
    lua_pop(L, 1);
    return v;
}

TEST(StatsVars, ConcurrentIncrementsAreNotLost)
{
    constexpr int threads = 6, rounds = 40000, shared = 90, base = 91;
    lua_State* main = luaL_newstate();
    ASSERT_EQ(call(main, l_ClearStatsVar, nullptr, shared), "");
    for (int t = 0; t < threads; t++) ASSERT_EQ(call(main, l_ClearStatsVar, nullptr, base + t), "");

    std::vector<std::thread> pool;
    std::vector<std::string> errors(threads);
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            lua_State* L = luaL_newstate();
            // Each state maps the same name to a different slot.
            lua_pushcfunction(L, l_InitStats);
            lua_createtable(L, 0, 2);
            lua_pushinteger(L, base + t);
            lua_setfield(L, -2, "mine");
            lua_pushinteger(L, shared);
            lua_setfield(L, -2, "shared");
            lua_call(L, 1, 0);
            for (int i = 0; i < rounds && errors[t].empty(); i++) {
                errors[t] = call(L, l_IncStatsVar, "shared", 0, 0);
                if (errors[t].empty()) errors[t] = call(L, l_IncStatsVar, "mine", 0, i % 2 ? 3 : -1);
            }
            lua_close(L);
        });
    }
    for (auto& th : pool) th.join();
    for (auto& e : errors) EXPECT_EQ(e, "");

    EXPECT_EQ(get(main, shared), (double)threads * rounds);
    for (int t = 0; t < threads; t++) EXPECT_EQ(get(main, base + t), rounds / 2 * 2.0) << "slot " << base + t;
    lua_close(main);
}

}  // namespace
