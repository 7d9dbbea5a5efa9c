// Filter set: number conversion at its edges. Fill counts under threads: mt_tables.lua.
#include <gtest/gtest.h>

#include <cmath>

#include "ac/filter_set.h"
#include "lua/ac_lua.h"
#include "ac/locks.h"

TEST(FilterSet, NumberConversionSaturatesOutsideThe64BitRange)
{
    const std::pair<double, uint64_t> cases[] = {
        {0, 0}, {7.9, 7}, {-0.5, 0}, {-1, UINT64_MAX}, {-2.7, UINT64_MAX - 1},
        {9223372036854775808.0, 1ull << 63}, {18446744073709549568.0, 18446744073709549568ull},
        {-9223372036854775808.0, 1ull << 63}, {1e30, UINT64_MAX}, {-1e30, 1ull << 63}, {NAN, 0}};
    for (auto [in, want] : cases) EXPECT_EQ(filter_set_value(in), want) << in;
}
