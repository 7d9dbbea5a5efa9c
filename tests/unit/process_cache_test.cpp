// Process cache slot rules and exact counters; threads: mt_tables.lua.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <array>
#include <cstring>
#include <tuple>

#include "lua/ac_lua.h"
#include "cache/process_cache.h"

namespace {

using stats = std::array<uint64_t, AC_PROC_STAT_COUNT>;

stats snapshot()
{
    stats s{};
    return ProcCacheStats(s.data()), s;
}

// Counter changes since `before`, against the listed non-zero ones.
void expect_delta(const stats& before, std::initializer_list<std::pair<ac_proc_stat, uint64_t>> counts)
{
    stats now = snapshot(), d{}, want{};
    for (size_t i = 0; i < d.size(); i++) d[i] = now[i] - before[i];
    for (auto& c : counts) want[c.first] = c.second;
    EXPECT_EQ(d, want);
}

bool slot_is_zero(uint64_t slot)
{
    static const ac_proc_entry zero{};
    return memcmp(&processes[slot], &zero, sizeof zero) == 0;
}

}  // namespace

// The slot is the pid modulo 1024; the pid only chooses it and the name
// decides a hit. A store into an occupied slot evicts; re-storing the same pid
// counts a change; removal checks the pid. Names are 16-byte blocks.
TEST(ProcessCache, SlotRules)
{
    ClearProcessCache();
    stats before = snapshot();
    EXPECT_EQ(AddProcess(1234, 3, "python3\0\0\0\0\0\0\0\0\0"), 1);
    EXPECT_EQ(GetProcess(1234, "python3") * 100 + GetProcess(2258, "python3") * 10 + GetProcess(1234, "bash"), 330u);
    expect_delta(before, {{AC_PROC_ADD, 1}, {AC_PROC_HIT, 2}, {AC_PROC_MISS, 1}});
    before = snapshot();
    AddProcess(1234, 7, "bash\0\0\0\0\0\0\0\0\0\0\0\0");
    AddProcess(2258, 6, "perl\0\0\0\0\0\0\0\0\0\0\0\0");  // another pid: no change counted
    expect_delta(before, {{AC_PROC_ADD, 2}, {AC_PROC_CHANGE, 1}});
    before = snapshot();
    EXPECT_EQ(RemoveProcess(1234), 0);
    EXPECT_EQ(GetProcess(2258, "perl"), 6u) << "a removal miss leaves the slot alone";
    EXPECT_EQ(RemoveProcess(2258), 1);
    EXPECT_EQ(RemoveProcess(2258), 0) << "already empty";
    expect_delta(before, {{AC_PROC_REMOVE_MISS, 2}, {AC_PROC_REMOVE_HIT, 1}, {AC_PROC_HIT, 1}});
    EXPECT_TRUE(slot_is_zero(2258 & 0x3FF));
    for (uint64_t pid : {UINT64_C(0x3FF), UINT64_C(0x12345), UINT64_MAX})
        AddProcess(pid, 7, "sh\0\0\0\0\0\0\0\0\0\0\0\0\0\0");
    EXPECT_EQ(processes[0x345].pid, 0x12345u);
    EXPECT_EQ(processes[0x3FF].pid, UINT64_MAX) << "a later store evicts 0x3FF";
    // Pid 0 looks up nothing and counts nothing; an empty slot with an empty name is a hit of type 0.
    before = snapshot();
    EXPECT_EQ(GetProcess(0, "sh") + GetProcess(77, ""), 0u);
    expect_delta(before, {{AC_PROC_HIT, 1}});

    // The block is copied whole, bytes after the terminator included; a
    // 16-byte name has no terminator in the slot and nothing spills over.
    const char block[AC_PROC_NAME] = {'s', 'h', '\0', 'x', 'y', 'z'};
    AddProcess(42, 7, block);
    AddProcess(43, 2, "0123456789abcdefGHIJ");
    EXPECT_EQ(memcmp(processes[42].name, block, AC_PROC_NAME) | memcmp(processes[43].name, "0123456789abcdef", 16), 0);
    EXPECT_TRUE(slot_is_zero(44));
    const std::tuple<uint64_t, const char*, uint64_t> lookups[] = {{42, "sh", 7}, {43, "0123456789abcdefXYZ", 2},
        {43, "0123456789abcde", 0}, {43, "0123456789abcdeF", 0}, {42, "shx", 0}};
    for (auto [pid, name, want] : lookups) EXPECT_EQ(GetProcess(pid, name), want) << name;

    before = snapshot();
    EXPECT_EQ(ClearProcessCache(), 1);
    expect_delta(before, {{AC_PROC_CLEAR, 1}});
    for (uint64_t s = 0; s < AC_PROC_SLOTS; s++) ASSERT_TRUE(slot_is_zero(s)) << s;
}

TEST(ProcessCache, LuaStatsAreCountersModulo2To32)
{
    stats saved = snapshot();
    pthread_mutex_lock(&ProcessCacheLockCS);
    ac_proc_stats[AC_PROC_ADD] = (1ull << 32) + 4;
    ac_proc_stats[AC_PROC_MISS] = (1ull << 33) - 1;
    pthread_mutex_unlock(&ProcessCacheLockCS);
    AddProcess(9, 1, "x\0\0\0\0\0\0\0\0\0\0\0\0\0\0");  // 2^32 + 5 stores
    lua_State* L = luaL_newstate();
    ASSERT_EQ(l_ProcCacheStats(L), 1);
    lua_getfield(L, -1, "procadd");
    lua_getfield(L, -2, "procmiss");
    EXPECT_EQ(lua_tonumber(L, -2), 5.0);
    EXPECT_EQ(lua_tonumber(L, -1), 4294967295.0) << "non-negative";
    lua_close(L);
    pthread_mutex_lock(&ProcessCacheLockCS);
    ac_proc_stats[AC_PROC_ADD] = saved[AC_PROC_ADD] + 1;
    ac_proc_stats[AC_PROC_MISS] = saved[AC_PROC_MISS];
    pthread_mutex_unlock(&ProcessCacheLockCS);
}
