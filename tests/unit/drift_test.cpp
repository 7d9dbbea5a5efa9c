// Drift tracker: the ring, its overflow scan and cooldown, names captured on
// dup, and the exact counters. Conditional opens and totals under threads:
// mt_tables.lua; the fresh-filter request: test_drift.lua, drv_file_changes.lua.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "cache/drift.h"
#include "base/paths.h"
#include "cache/proc_info.h"
#include "unit_util.h"

namespace {

constexpr uint32_t NO_PROCESS = 0x10000000;  // above the kernel's largest pid_max: never alive

drift_table table() { return drift_lock_guard(), drift; }  // the name pointers are never followed
uint64_t C(drift_counter c) { return table().counters[c]; }
uint64_t live() { return table().head - table().tail; }
int64_t cooldown() { return table().cooldown; }
void set_cooldown(int64_t t) { drift_lock_guard g; drift.cooldown = t; }

// The live entries and their captured names ("-" without one).
std::map<std::pair<uint32_t, int32_t>, std::string> named()
{
    drift_lock_guard g;
    std::map<std::pair<uint32_t, int32_t>, std::string> v;
    drift_for_each_live_locked([&](const drift_entry& e) {
        v[{e.pid, e.fd}] = e.name ? std::string(e.name, (size_t)e.name_len) : "-";
    });
    return v;
}
bool tracked(uint32_t pid, int32_t fd) { return named().count({pid, fd}) != 0; }
std::string captured(uint32_t pid, int32_t fd) { return named()[{pid, fd}]; }

// Every counter, against the listed non-zero ones.
std::vector<uint64_t> counters()
{
    drift_table t = table();
    return {t.counters, t.counters + DRIFT_COUNTER_COUNT};
}
std::vector<uint64_t> only(std::initializer_list<std::pair<drift_counter, uint64_t>> nonzero)
{
    std::vector<uint64_t> v(DRIFT_COUNTER_COUNT, 0);
    for (auto& p : nonzero) v[p.first] = p.second;
    return v;
}

uint32_t close_result(uint32_t pid, int32_t fd)
{
    uint32_t d = 7, f = 7;
    EXPECT_EQ(DriftClose(pid, fd, &d, &f), 1);
    return d;
}

struct Drift : ::testing::Test {
    void SetUp() override { DriftClear(); }
    void TearDown() override { DriftClear(); }
    const uint32_t self = (uint32_t)getpid();
};

TEST_F(Drift, OpenAndClose)
{
    EXPECT_EQ(DriftOpen(100, 3), 0);
    DriftOpen(100, 3);  // no look for the same pair: a second entry
    uint32_t d = 7, f = 7;
    EXPECT_EQ(DriftClose(100, 3, &d, &f), 1);
    EXPECT_EQ(d + 10 * f, 1u);
    EXPECT_EQ(close_result(100, 3), 1u);
    EXPECT_EQ(close_result(100, 3), 0u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_open, 2}, {DRIFT_found, 2}, {DRIFT_notfound, 1},
                                {DRIFT_dirt, 1}}));
}

TEST_F(Drift, ReleaseMovesTheOldestIntoTheFreedSlotAndSearchesCount)
{
    for (int fd = 0; fd < 4; fd++) DriftOpen(5, fd);
    EXPECT_EQ(close_result(5, 2), 1u);  // two examined before the match
    drift_table t = table();
    EXPECT_EQ(t.counters[DRIFT_iterations], 2u);
    EXPECT_EQ(t.tail * 10 + t.head, 14u);
    EXPECT_EQ(t.ring[1].fd * 100 + t.ring[2].fd * 10 + t.ring[3].fd, 103) << "the oldest took the freed slot";
    // Order now (5, 1), (5, 0), (5, 3): {pid, fd, iterations after the close}.
    const int32_t steps[][3] = {{9, 9, 5} /* none found: every live entry */, {5, 0, 6}, {5, 1, 6} /* the oldest */};
    for (auto& s : steps) {
        EXPECT_EQ(close_result(s[0], s[1]), s[0] == 5 ? 1u : 0u);
        EXPECT_EQ(C(DRIFT_iterations), (uint64_t)s[2]);
    }
    close_result(5, 3);
    EXPECT_EQ(close_result(8, 8), 0u);  // empty ring: nothing examined
    EXPECT_EQ(C(DRIFT_iterations), 6u);
}

// A full ring of live entries: the scan finds nobody gone, sets the cooldown
// and drops the oldest; while it runs nothing is scanned, not even when the
// clock equals it; once it has passed, a scan freeing fewer than 32 sets it anew.
TEST_F(Drift, FullRingScansThenCoolsDown)
{
    for (int i = 0; i < 64; i++) DriftOpen(self, 100 + i);
    EXPECT_EQ(cooldown(), 0);
    int64_t before = (int64_t)time(nullptr);
    DriftOpen(self, 164);
    EXPECT_EQ(live(), 64u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 65}, {DRIFT_open, 65}, {DRIFT_lostcheck, 1}, {DRIFT_overflow, 1}}));
    EXPECT_GE(cooldown(), before + 60);
    EXPECT_LE(cooldown(), (int64_t)time(nullptr) + 60);
    EXPECT_FALSE(tracked(self, 100));
    EXPECT_TRUE(tracked(self, 101) && tracked(self, 164));

    const int64_t cool = cooldown();
    DriftOpen(NO_PROCESS, 1);  // dead processes are not looked for either
    DriftOpen(NO_PROCESS, 2);
    EXPECT_EQ(C(DRIFT_lostcheck) * 100 + C(DRIFT_overflow) * 10 + C(DRIFT_losttrack), 130u);
    EXPECT_EQ(cooldown(), cool);
    EXPECT_FALSE(tracked(self, 102));

    for (int attempt = 0;; attempt++) {
        ASSERT_LT(attempt, 100);
        const uint64_t overflow = C(DRIFT_overflow);
        const int64_t now = (int64_t)time(nullptr);
        set_cooldown(now);
        DriftOpen(self, 200 + attempt);
        if ((int64_t)time(nullptr) != now) continue;  // the second changed meanwhile
        EXPECT_EQ(C(DRIFT_lostcheck), 1u);
        EXPECT_EQ(C(DRIFT_overflow), overflow + 1);
        break;
    }

    set_cooldown((int64_t)time(nullptr) - 1);
    before = (int64_t)time(nullptr);
    const uint64_t overflow = C(DRIFT_overflow);
    DriftOpen(self, 300);
    EXPECT_EQ(C(DRIFT_lostcheck) * 10 + C(DRIFT_losttrack), 22u);
    EXPECT_EQ(C(DRIFT_overflow), overflow);
    EXPECT_GE(cooldown(), before + 60);
    EXPECT_EQ(live(), 63u);
    EXPECT_FALSE(tracked(NO_PROCESS, 1) || tracked(NO_PROCESS, 2));
}

// Exited and reaped processes, interleaved with live entries: the scan frees
// them all and drops nothing; 32 or more freed leave the cooldown alone.
TEST_F(Drift, OverflowReleasesExitedProcesses)
{
    for (int dead : {31, 32, 40}) {
        SCOPED_TRACE(dead);
        DriftClear();
        std::vector<uint32_t> gone;
        for (int i = 0; i < dead; i++) gone.push_back((uint32_t)exited_pid());
        ASSERT_TRUE(IsProcessAlive(gone[0])) << "no longer there";
        ASSERT_FALSE(IsProcessAlive(self));
        std::map<std::pair<uint32_t, int32_t>, std::string> alive{{{self, 500}, "-"}};
        for (int i = 0, d = 0; i < 64; i++) {
            if (d < dead && i % 8 < 5)  // 5 of every 8
                DriftOpen(gone[d++], i);
            else
                DriftOpen(self, i), alive[{self, i}] = "-";
        }
        int64_t before = (int64_t)time(nullptr);
        DriftOpen(self, 500);
        EXPECT_EQ(C(DRIFT_losttrack), (uint64_t)dead);
        EXPECT_EQ(C(DRIFT_lostcheck) * 10 + C(DRIFT_overflow), 10u);
        EXPECT_EQ(named(), alive);
        EXPECT_EQ(cooldown() >= before + 60, dead < 32);
        EXPECT_EQ(cooldown() == 0, dead >= 32);
    }
}

TEST_F(Drift, DupSequencesWithoutNames)
{
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDupTrackPossibleClose(100, 3, 5), 0);  // empty ring
    EXPECT_EQ(DriftDup(100, 3, 5, name), 0);
    EXPECT_EQ(counters(), only({{DRIFT_dupnamemiss, 1}, {DRIFT_dupmiss, 2}}));

    DriftClear();
    DriftOpen(100, 3);
    EXPECT_EQ(DriftDupTrackPossibleClose(100, 3, 5), 1);  // old tracked
    EXPECT_EQ(DriftDupTrackPossibleClose(100, 7, 5), 0);  // neither
    EXPECT_EQ(DriftDup(100, 7, 5, name), 0);              // neither
    EXPECT_EQ(DriftDup(100, 3, 5, name), 1);              // old tracked: the new one is added
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(named(), (std::map<std::pair<uint32_t, int32_t>, std::string>{{{100, 3}, "-"}, {{100, 5}, "-"}}));
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_open, 1}, {DRIFT_dup, 1}, {DRIFT_dupnamemiss, 2},
                                {DRIFT_dupmiss, 2}, {DRIFT_iterations, 6}}));

    DriftClear();
    DriftOpen(100, 5);
    EXPECT_EQ(DriftDup(100, 3, 5, name), 0);  // only the new one: released, ring empty
    EXPECT_EQ(counters(), only({{DRIFT_track, 1}, {DRIFT_open, 1}, {DRIFT_found, 1}, {DRIFT_dupmiss, 1}}));

    // A name that cannot be read is counted and leaves none.
    DriftClear();
    DriftOpen(NO_PROCESS, 5);
    EXPECT_EQ(DriftDupTrackPossibleClose(NO_PROCESS, 3, 5), 1);
    EXPECT_EQ(captured(NO_PROCESS, 5), "-");
    EXPECT_EQ(DriftDup(NO_PROCESS, 3, 5, name), 0);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(counters(), only({{DRIFT_track, 1}, {DRIFT_open, 1}, {DRIFT_found, 1}, {DRIFT_dupmiss, 1},
                                {DRIFT_dupnamefail, 1}}));
}

TEST_F(Drift, DupOntoATrackedDescriptorCapturesItsNameAndClearForgetsAll)
{
    TempDir dir("drift");
    const std::string path = dir.file("f");
    const int fd = open(path.c_str(), O_RDWR), old = 900;  // 900: not an open descriptor of this process
    DriftOpen(self, old);
    DriftOpen(self, fd);  // the new descriptor, which the dup will close
    for (int i = 0; i < 2; i++) {  // the second capture replaces the first
        EXPECT_EQ(DriftDupTrackPossibleClose(self, old, fd), 1);
        EXPECT_EQ(captured(self, fd), path);
    }
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(self, old, fd, name), 1);
    EXPECT_EQ(std::string(name), path);
    EXPECT_EQ(captured(self, fd), "-");  // added again, for the dup, without a name
    EXPECT_EQ(live(), 2u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 3}, {DRIFT_open, 2}, {DRIFT_found, 1}, {DRIFT_dup, 1},
                                {DRIFT_dupname, 2}, {DRIFT_iterations, 3}}));

    // The old descriptor untracked: the name still comes back, nothing is added.
    DriftClear();
    DriftOpen(self, fd);
    DriftOpen(42, 42);  // keeps the ring non-empty after the release
    EXPECT_EQ(DriftDupTrackPossibleClose(self, 77, fd), 1);
    memset(name, 0, sizeof name);
    EXPECT_EQ(DriftDup(self, 77, fd, name), 0);
    EXPECT_EQ(std::string(name), path);
    EXPECT_FALSE(tracked(self, fd));
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_open, 2}, {DRIFT_found, 1}, {DRIFT_dupmiss, 1},
                                {DRIFT_dupname, 1}, {DRIFT_iterations, 1}}));

    set_cooldown(12345);
    DriftClear();
    EXPECT_EQ(live() + (uint64_t)cooldown(), 0u);
    EXPECT_EQ(counters(), only({}));
    close(fd);
}

}  // namespace
