// Filter set: number conversion at its edges, and the fill count staying
// equal to the bits set while adds, queries and clears race.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "ac/filter_set.h"
#include "lua/ac_lua.h"
#include "ac/locks.h"

namespace {

TEST(FilterSet, NumberConversion)
{
    // Outside the 64-bit range the conversion saturates instead of wrapping.
    const std::pair<double, uint64_t> cases[] = {
        {0, 0}, {7.9, 7}, {-0.5, 0}, {-1, UINT64_MAX}, {-2.7, UINT64_MAX - 1},
        {9223372036854775808.0, 1ull << 63}, {18446744073709549568.0, 18446744073709549568ull},
        {-9223372036854775808.0, 1ull << 63}, {1e30, UINT64_MAX}, {-1e30, 1ull << 63}, {NAN, 0}};
    for (auto [in, want] : cases) EXPECT_EQ(filter_set_value(in), want) << in;
}

// One call of a filter-set function from Lua's side.
void call(lua_State* L, lua_CFunction fn, int nargs = 0, double n = 0)
{
    lua_pushcfunction(L, fn);
    if (nargs) lua_pushnumber(L, n);
    lua_call(L, nargs, 0);
}

uint32_t bits_set()
{
    uint32_t n = 0;
    for (uint8_t b : filterSet) n += (uint32_t)__builtin_popcount(b);
    return n;
}

TEST(FilterSet, CountMatchesBitsUnderConcurrency)
{
    std::vector<std::thread> pool;
    for (int t = 0; t < 3; t++) {
        pool.emplace_back([t] {
            lua_State* L = luaL_newstate();
            uint64_t x = 0x9E3779B97F4A7C15ull * (t + 1);
            for (int i = 0; i < 60000; i++) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                call(L, l_AddToFilterSet, 1, (double)(x % 3000000));
                call(L, l_IsLikelyInSet, 1, (double)(x % 3000001));
            }
            lua_close(L);
        });
    }
    pool.emplace_back([] {
        lua_State* L = luaL_newstate();
        for (int i = 0; i < 20; i++) {
            call(L, l_ClearFilterSet);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        lua_close(L);
    });
    for (auto& th : pool) th.join();

    FilterCS.Lock();
    EXPECT_EQ(filledPositionsCount.load(), bits_set());
    EXPECT_LE(maxSize, 2999999u);
    FilterCS.Unlock();
    lua_State* L = luaL_newstate();
    call(L, l_ClearFilterSet);
    EXPECT_EQ(bits_set() + filledPositionsCount.load(), 0u);
    lua_close(L);
}

}  // namespace
