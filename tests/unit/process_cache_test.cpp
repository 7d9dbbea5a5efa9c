// Process cache slot rules and exact counters; the Lua side is in
// test_process_cache.lua and mt_process_cache.lua.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lua/ac_lua.h"
#include "cache/process_cache.h"

namespace {

using stats = std::array<uint64_t, AC_PROC_STAT_COUNT>;

stats snapshot()
{
    stats s{};
    ProcCacheStats(s.data());
    return s;
}

// Counter changes since `before`, against the listed non-zero ones.
void expect_delta(const stats& before, std::initializer_list<std::pair<ac_proc_stat, uint64_t>> counts)
{
    stats now = snapshot(), d{}, want{};
    for (size_t i = 0; i < d.size(); i++) d[i] = now[i] - before[i];
    for (auto& c : counts) want[c.first] = c.second;
    EXPECT_EQ(d, want);
}

// Names are handed to the cache as 16-byte blocks.
void add(uint64_t pid, uint64_t type, const char* name)
{
    char block[AC_PROC_NAME + 1] = {};
    strncpy(block, name, AC_PROC_NAME);
    AddProcess(pid, type, block);
}

class ProcessCache : public ::testing::Test {
protected:
    void SetUp() override { ClearProcessCache(); }
};

}  // namespace

// The slot is the pid modulo 1024; the pid only chooses it and the name
// decides a hit. A store into an occupied slot evicts; re-storing the same pid
// counts a change; removal checks the pid.
TEST_F(ProcessCache, SlotRules)
{
    stats before = snapshot();
    EXPECT_EQ(AddProcess(1234, 3, "python3\0\0\0\0\0\0\0\0\0"), 1);
    EXPECT_EQ(GetProcess(1234, "python3"), 3u);
    EXPECT_EQ(GetProcess(2258, "python3"), 3u) << "same slot, same name";
    EXPECT_EQ(GetProcess(1234, "bash"), 0u);
    expect_delta(before, {{AC_PROC_ADD, 1}, {AC_PROC_HIT, 2}, {AC_PROC_MISS, 1}});
    EXPECT_EQ(processes[1234 & 0x3FF].pid, 1234u);

    before = snapshot();
    add(1234, 7, "bash");
    expect_delta(before, {{AC_PROC_ADD, 1}, {AC_PROC_CHANGE, 1}});
    EXPECT_EQ(GetProcess(1234, "python3"), 0u) << "the process executed another program";
    before = snapshot();
    add(2258, 6, "perl");
    expect_delta(before, {{AC_PROC_ADD, 1}});  // another pid: no change counted

    before = snapshot();
    EXPECT_EQ(RemoveProcess(1234), 0);
    EXPECT_EQ(GetProcess(2258, "perl"), 6u) << "a removal miss leaves the slot alone";
    EXPECT_EQ(RemoveProcess(2258), 1);
    EXPECT_EQ(RemoveProcess(2258), 0) << "already empty";
    expect_delta(before, {{AC_PROC_REMOVE_MISS, 2}, {AC_PROC_REMOVE_HIT, 1}, {AC_PROC_HIT, 1}});
    static const ac_proc_entry zero{};
    EXPECT_EQ(memcmp(&processes[2258 & 0x3FF], &zero, sizeof zero), 0);

    for (uint64_t pid : {UINT64_C(0x3FF), UINT64_C(0x400), UINT64_C(0x12345), UINT64_MAX}) add(pid, 7, "sh");
    EXPECT_EQ(processes[0].pid, 0x400u);
    EXPECT_EQ(processes[0x345].pid, 0x12345u);
    EXPECT_EQ(processes[0x3FF].pid, UINT64_MAX) << "a later store evicts 0x3FF";

    // Pid 0 looks up nothing and counts nothing; an empty slot with an empty name is a hit of type 0.
    before = snapshot();
    EXPECT_EQ(GetProcess(0, "sh"), 0u);
    EXPECT_EQ(GetProcess(77, ""), 0u);
    expect_delta(before, {{AC_PROC_HIT, 1}});

    for (uint64_t pid = 1; pid <= 2048; pid++) add(pid, 3, "python3");
    before = snapshot();
    EXPECT_EQ(ClearProcessCache(), 1);
    expect_delta(before, {{AC_PROC_CLEAR, 1}});
    for (const ac_proc_entry& e : processes) ASSERT_EQ(memcmp(&e, &zero, sizeof e), 0);
}

TEST_F(ProcessCache, NameIsOneBlockOf16Bytes)
{
    // The block is copied whole, bytes after the terminator included.
    char block[AC_PROC_NAME] = {'s', 'h', '\0', 'x', 'y', 'z'};
    AddProcess(42, 7, block);
    EXPECT_EQ(memcmp(processes[42].name, block, AC_PROC_NAME), 0);
    EXPECT_EQ(GetProcess(42, "sh"), 7u);

    // A 16-byte name has no terminator in the slot; the comparison stays in the field.
    AddProcess(43, 2, "0123456789abcdefGHIJ");
    EXPECT_EQ(memcmp(processes[43].name, "0123456789abcdef", AC_PROC_NAME), 0);
    EXPECT_EQ(processes[44].pid, 0u) << "nothing spills into the next slot";
    add(45, 3, "python3");
    // Equal first 16 bytes; 15 bytes; a difference in byte 16.
    const std::pair<const char*, uint64_t> lookups[] = {
        {"0123456789abcdefXYZ", 2}, {"0123456789abcde", 0}, {"0123456789abcdeF", 0}};
    for (auto [name, want] : lookups) EXPECT_EQ(GetProcess(43, name), want) << name;
    for (const char* name : {"python", "python3x"}) EXPECT_EQ(GetProcess(45, name), 0u) << "not equal: " << name;
}

TEST_F(ProcessCache, LuaStatsAreCountersModulo2To32)
{
    stats saved = snapshot();
    pthread_mutex_lock(&ProcessCacheLockCS);
    ac_proc_stats[AC_PROC_ADD] = (1ull << 32) + 4;
    ac_proc_stats[AC_PROC_MISS] = (1ull << 33) - 1;
    pthread_mutex_unlock(&ProcessCacheLockCS);
    add(9, 1, "x");  // 2^32 + 5 stores

    lua_State* L = luaL_newstate();
    ASSERT_EQ(l_ProcCacheStats(L), 1);
    lua_getfield(L, -1, "procadd");
    EXPECT_EQ(lua_tonumber(L, -1), 5.0);
    lua_getfield(L, -2, "procmiss");
    EXPECT_EQ(lua_tonumber(L, -1), 4294967295.0) << "non-negative";
    lua_close(L);

    pthread_mutex_lock(&ProcessCacheLockCS);
    ac_proc_stats[AC_PROC_ADD] = saved[AC_PROC_ADD] + 1;
    ac_proc_stats[AC_PROC_MISS] = saved[AC_PROC_MISS];
    pthread_mutex_unlock(&ProcessCacheLockCS);
}

// Each thread owns its own slots: every entry it stores must be there when it
// looks, and the counters must add up exactly.
TEST_F(ProcessCache, ThreadsOnDistinctSlotsLoseNothing)
{
    constexpr int threads = 8, slots_each = AC_PROC_SLOTS / threads, rounds = 201;
    stats before = snapshot();
    std::atomic<int> lost{0}, wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            char name[AC_PROC_NAME] = {};
            snprintf(name, sizeof name, "worker%d", t);
            stats local{};
            for (int r = 0; r < rounds; r++) {
                for (int i = 0; i < slots_each; i++) {
                    // A different pid for the same slot each round.
                    uint64_t pid = (uint64_t)(t * slots_each + i) + (uint64_t)(r + 1) * AC_PROC_SLOTS;
                    uint64_t type = 2 + (uint64_t)((t + i + r) % 32);
                    AddProcess(pid, type, name);
                    if (GetProcess(pid, name) != type) lost++;
                    if (r % 2) {
                        AddProcess(pid, type, name);  // re-classification
                        if (RemoveProcess((int64_t)pid) != 1) lost++;
                        if (RemoveProcess((int64_t)pid) != 0 || GetProcess(pid, name) != 0) wrong++;
                    }
                }
                ProcCacheStats(local.data());
            }
        });
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(lost.load() + wrong.load(), 0);

    const uint64_t ops = (uint64_t)threads * slots_each, odd = rounds / 2;
    expect_delta(before, {{AC_PROC_ADD, ops * (rounds + odd)}, {AC_PROC_CHANGE, ops * odd},
                          {AC_PROC_HIT, ops * rounds}, {AC_PROC_MISS, ops * odd}, {AC_PROC_REMOVE_HIT, ops * odd},
                          {AC_PROC_REMOVE_MISS, ops * odd}});
    // The last round (200) was even: every slot still holds its last store.
    for (uint64_t s = 0; s < AC_PROC_SLOTS; s++) EXPECT_EQ(processes[s].pid, s + (uint64_t)rounds * AC_PROC_SLOTS);
}
