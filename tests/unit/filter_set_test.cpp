// Filter set: number conversion at its edges, and the fill count staying
// equal to the bits set while adds, queries and clears race.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "ac/filter_set.h"
#include "ac/locks.h"

namespace {

TEST(FilterSet, NumberConversion)
{
    EXPECT_EQ(filter_set_value(0), 0u);
    EXPECT_EQ(filter_set_value(7.9), 7u);
    EXPECT_EQ(filter_set_value(-0.5), 0u);
    EXPECT_EQ(filter_set_value(-1), UINT64_MAX);
    EXPECT_EQ(filter_set_value(-2.7), UINT64_MAX - 1);
    EXPECT_EQ(filter_set_value(9223372036854775808.0), 1ull << 63);
    EXPECT_EQ(filter_set_value(18446744073709549568.0), 18446744073709549568ull);
    EXPECT_EQ(filter_set_value(-9223372036854775808.0), 1ull << 63);
    // Outside the 64-bit range the conversion saturates instead of wrapping.
    EXPECT_EQ(filter_set_value(1e30), UINT64_MAX);
    EXPECT_EQ(filter_set_value(-1e30), 1ull << 63);
    EXPECT_EQ(filter_set_value(NAN), 0u);
}

int call(lua_State* L, lua_CFunction fn, double n)
{
    lua_pushcfunction(L, fn);
    lua_pushnumber(L, n);
    lua_call(L, 1, 1);
    int r = lua_toboolean(L, -1);
    lua_pop(L, 1);
    return r;
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
        pool.emplace_back([&, t] {
            lua_State* L = luaL_newstate();
            uint64_t x = 0x9E3779B97F4A7C15ull * (t + 1);
            for (int i = 0; i < 60000; i++) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                call(L, l_AddToFilterSet, (double)(x % 3000000));
                call(L, l_IsLikelyInSet, (double)(x % 3000001));
            }
            lua_close(L);
        });
    }
    pool.emplace_back([&] {
        lua_State* L = luaL_newstate();
        for (int i = 0; i < 20; i++) {
            lua_pushcfunction(L, l_ClearFilterSet);
            lua_call(L, 0, 0);
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
    lua_pushcfunction(L, l_ClearFilterSet);
    lua_call(L, 0, 0);
    EXPECT_EQ(bits_set(), 0u);
    EXPECT_EQ(filledPositionsCount.load(), 0u);
    lua_close(L);
}

}  // namespace
