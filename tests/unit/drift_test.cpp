// Drift tracker internals and exact counters; the Lua side is in test_drift.lua and mt_drift.lua.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "cache/drift.h"
#include "base/paths.h"
#include "cache/proc_info.h"
#include "unit_util.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// From the sanitizer runtime (no header for it): exact, unlike glibc's statistics.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define DRIFT_TEST_ASAN 1
#endif

namespace {

// Process ids above the kernel's largest pid_max (2^22): never a live process.
constexpr uint32_t NO_PROCESS = 0x10000000;

using pairs = std::set<std::pair<uint32_t, int32_t>>;

// A copy of the table (the name pointers are only compared, never followed).
drift_table table()
{
    drift_lock_guard g;
    return drift;
}
uint64_t C(drift_counter c) { return table().counters[c]; }
uint64_t live() { return table().head - table().tail; }
int64_t cooldown() { return table().cooldown; }
void set_cooldown(int64_t t)
{
    drift_lock_guard g;
    drift.cooldown = t;
}

// The live entries, with their captured names: "<none>" without one.
std::map<std::pair<uint32_t, int32_t>, std::string> named_entries()
{
    drift_lock_guard g;
    std::map<std::pair<uint32_t, int32_t>, std::string> v;
    drift_for_each_live_locked([&](const drift_entry& e) {
        EXPECT_TRUE(e.name || e.name_len == -1);
        v[{e.pid, e.fd}] = e.name ? std::string(e.name, (size_t)e.name_len) : "<none>";
    });
    return v;
}
pairs entries()
{
    pairs v;
    for (auto& e : named_entries()) v.insert(e.first);
    return v;
}
bool tracked(uint32_t pid, int32_t fd) { return entries().count({pid, fd}) != 0; }
std::string captured(uint32_t pid, int32_t fd) { return named_entries()[{pid, fd}]; }

// Every counter at once, against the listed non-zero ones.
std::vector<uint64_t> counters()
{
    drift_table t = table();
    return std::vector<uint64_t>(t.counters, t.counters + DRIFT_COUNTER_COUNT);
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

// A file held open by this process, and its path.
struct open_file {
    TempDir dir{"drift"};
    std::string path = dir.file("f");
    int fd = open(path.c_str(), O_RDWR);
    ~open_file() { close(fd); }
};

class Drift : public ::testing::Test {
protected:
    void SetUp() override { DriftClear(); }
    void TearDown() override { DriftClear(); }
    const uint32_t self = (uint32_t)getpid();
};

TEST_F(Drift, OpenCloseAndConditionalOpen)
{
    EXPECT_EQ(DriftOpen(100, 3), 0);
    DriftOpen(100, 3);  // no look for the same pair: a second entry
    EXPECT_EQ(live(), 2u);
    uint32_t d = 7, f = 7;
    EXPECT_EQ(DriftClose(100, 3, &d, &f), 1);
    EXPECT_EQ(d, 1u);
    EXPECT_EQ(f, 0u);
    EXPECT_EQ(close_result(100, 3), 1u);
    EXPECT_EQ(close_result(100, 3), 0u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_open, 2}, {DRIFT_found, 2}, {DRIFT_notfound, 1},
                                {DRIFT_dirt, 1}}));
    DriftClear();
    for (int fd : {3, 3, 4}) DriftCondOpen(100, fd);
    EXPECT_EQ(live(), 2u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_condopen, 2}, {DRIFT_condfound, 1}, {DRIFT_iterations, 1}}));
}

TEST_F(Drift, UntrackedClosesAskForAFreshFilterAfter256)
{
    uint32_t d = 9, f = 9;
    for (int i = 1; i <= 258; i++) {
        DriftClose(100, 4, &d, &f);
        ASSERT_EQ(d, 0u);
        ASSERT_EQ(f, i > 256 ? 1u : 0u) << "close " << i;
    }
    EXPECT_EQ(counters(), only({{DRIFT_notfound, 258}, {DRIFT_dirt, 258}}));
    {  // what the fresh filter builder does
        drift_lock_guard g;
        drift_note_fresh_filter_locked();
    }
    DriftClose(100, 4, &d, &f);
    EXPECT_EQ(f, 0u);
    EXPECT_EQ(counters(), only({{DRIFT_notfound, 259}, {DRIFT_dirt, 1}, {DRIFT_newfilter, 1}}));
}

TEST_F(Drift, ReleaseMovesTheOldestIntoTheFreedSlotAndSearchesCount)
{
    for (int fd = 0; fd < 4; fd++) DriftOpen(5, fd);
    EXPECT_EQ(close_result(5, 2), 1u);  // two examined before the match
    drift_table t = table();
    EXPECT_EQ(t.counters[DRIFT_iterations], 2u);
    EXPECT_EQ(t.tail, 1u);
    EXPECT_EQ(t.head, 4u);
    EXPECT_EQ(t.ring[2].fd, 0);  // the oldest took the freed slot
    EXPECT_EQ(t.ring[1].fd, 1);
    EXPECT_EQ(t.ring[3].fd, 3);
    // Order now (5, 1), (5, 0), (5, 3): (pid, fd, iterations after the close).
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
    int64_t after = (int64_t)time(nullptr);
    EXPECT_EQ(live(), 64u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 65}, {DRIFT_open, 65}, {DRIFT_lostcheck, 1}, {DRIFT_overflow, 1}}));
    EXPECT_GE(cooldown(), before + 60);
    EXPECT_LE(cooldown(), after + 60);
    EXPECT_FALSE(tracked(self, 100));
    EXPECT_TRUE(tracked(self, 101) && tracked(self, 164));

    const int64_t cool = cooldown();
    DriftOpen(NO_PROCESS, 1);  // dead processes are not looked for either
    DriftOpen(NO_PROCESS, 2);
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_overflow), 3u);
    EXPECT_EQ(C(DRIFT_losttrack), 0u);
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
    EXPECT_EQ(C(DRIFT_lostcheck), 2u);
    EXPECT_EQ(C(DRIFT_losttrack), 2u);
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
        for (uint32_t p : gone) ASSERT_TRUE(IsProcessAlive(p)) << "reaped child " << p << " still there";
        ASSERT_FALSE(IsProcessAlive(self));
        pairs alive{{self, 500}};
        size_t d = 0;
        for (int i = 0; i < 64; i++) {
            if (d < gone.size() && i % 8 < 5) {  // 5 of every 8
                DriftOpen(gone[d++], i);
            } else {
                DriftOpen(self, i);
                alive.insert({self, i});
            }
        }
        ASSERT_EQ(d, gone.size());
        int64_t before = (int64_t)time(nullptr);
        DriftOpen(self, 500);
        EXPECT_EQ(C(DRIFT_losttrack), (uint64_t)dead);
        EXPECT_EQ(C(DRIFT_lostcheck), 1u);
        EXPECT_EQ(C(DRIFT_overflow), 0u);
        EXPECT_EQ(live(), 65u - dead);
        EXPECT_EQ(entries(), alive);
        if (dead >= 32)
            EXPECT_EQ(cooldown(), 0);
        else
            EXPECT_GE(cooldown(), before + 60);
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
    EXPECT_EQ(entries(), (pairs{{100, 3}, {100, 5}}));
    EXPECT_EQ(captured(100, 3), "<none>");
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_open, 1}, {DRIFT_dup, 1}, {DRIFT_dupnamemiss, 2},
                                {DRIFT_dupmiss, 2}, {DRIFT_iterations, 6}}));

    DriftClear();
    DriftOpen(100, 5);
    EXPECT_EQ(DriftDup(100, 3, 5, name), 0);  // only the new one: released, ring empty
    EXPECT_EQ(counters(), only({{DRIFT_track, 1}, {DRIFT_open, 1}, {DRIFT_found, 1}, {DRIFT_dupmiss, 1}}));
    EXPECT_EQ(DriftDup(100, 3, 5, nullptr), 0);  // a null name output is allowed

    // A name that cannot be read is counted and leaves none.
    DriftClear();
    DriftOpen(NO_PROCESS, 5);
    EXPECT_EQ(DriftDupTrackPossibleClose(NO_PROCESS, 3, 5), 1);
    EXPECT_EQ(captured(NO_PROCESS, 5), "<none>");
    EXPECT_EQ(DriftDup(NO_PROCESS, 3, 5, name), 0);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(counters(), only({{DRIFT_track, 1}, {DRIFT_open, 1}, {DRIFT_found, 1}, {DRIFT_dupmiss, 1},
                                {DRIFT_dupnamefail, 1}}));
}

TEST_F(Drift, DupOntoATrackedDescriptorCapturesItsName)
{
    open_file file;
    const int32_t old = 900;  // not an open descriptor of this process
    DriftOpen(self, old);
    DriftOpen(self, file.fd);  // the new descriptor, which the dup will close
    for (int i = 0; i < 2; i++) {  // the second capture replaces the first
        EXPECT_EQ(DriftDupTrackPossibleClose(self, old, file.fd), 1);
        EXPECT_EQ(captured(self, file.fd), file.path);
    }
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(self, old, file.fd, name), 1);
    EXPECT_EQ(std::string(name), file.path);
    EXPECT_EQ(captured(self, file.fd), "<none>");  // added again, for the dup, without a name
    EXPECT_EQ(live(), 2u);
    EXPECT_EQ(counters(), only({{DRIFT_track, 3}, {DRIFT_open, 2}, {DRIFT_found, 1}, {DRIFT_dup, 1},
                                {DRIFT_dupname, 2}, {DRIFT_iterations, 3}}));

    // The old descriptor untracked: the name still comes back, nothing is added.
    DriftClear();
    DriftOpen(self, file.fd);
    DriftOpen(42, 42);  // keeps the ring non-empty after the release
    EXPECT_EQ(DriftDupTrackPossibleClose(self, 77, file.fd), 1);
    memset(name, 0, sizeof name);
    EXPECT_EQ(DriftDup(self, 77, file.fd, name), 0);
    EXPECT_EQ(std::string(name), file.path);
    EXPECT_FALSE(tracked(self, file.fd));
    EXPECT_EQ(counters(), only({{DRIFT_track, 2}, {DRIFT_open, 2}, {DRIFT_found, 1}, {DRIFT_dupmiss, 1},
                                {DRIFT_dupname, 1}, {DRIFT_iterations, 1}}));
}

// Names leave with their entries: by close, by overflow and by DriftClear.
TEST_F(Drift, CapturedNamesLeaveWithTheirEntries)
{
    open_file file;
#ifdef DRIFT_TEST_ASAN
    const size_t base = __sanitizer_get_current_allocated_bytes();
#endif
    DriftOpen(self, file.fd);
    DriftDupTrackPossibleClose(self, 0, file.fd);
    EXPECT_EQ(close_result(self, file.fd), 1u);

    DriftOpen(self, file.fd);
    DriftDupTrackPossibleClose(self, 0, file.fd);
    set_cooldown((int64_t)time(nullptr) + 100);
    for (int i = 0; i < 64; i++) DriftOpen(self, 1000 + i);  // the named one is dropped
    EXPECT_EQ(C(DRIFT_overflow), 1u);
    EXPECT_FALSE(tracked(self, file.fd));

    DriftClear();
    for (int i = 0; i < 64; i++) {
        DriftOpen(self, file.fd);
        EXPECT_EQ(DriftDupTrackPossibleClose(self, 0, file.fd), 1);
        // Re-key the entry so the next open is a different pair; the name stays.
        drift_lock_guard g;
        drift.ring[(drift.head - 1) & DRIFT_RING_MASK].fd = 2000 + i;
    }
    EXPECT_EQ(C(DRIFT_dupname), 64u);
#ifdef DRIFT_TEST_ASAN
    EXPECT_GT(__sanitizer_get_current_allocated_bytes(), base);
#endif
    DriftClear();
    EXPECT_EQ(live(), 0u);
    EXPECT_EQ(counters(), only({}));
    EXPECT_EQ(cooldown(), 0);
#ifdef DRIFT_TEST_ASAN
    EXPECT_EQ(__sanitizer_get_current_allocated_bytes(), base);
    // Overwrite every slot, so that a name DriftClear failed to free is no
    // longer reachable from the table and the leak check sees it.
    for (int i = 0; i < 64; i++) DriftOpen(1, i);
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// Every operation at once: nothing may crash, leak or be used after free (see
// the sanitizer builds) and the ring stays consistent. Exact totals: mt_drift.lua.
TEST_F(Drift, ConcurrentChurnWithOverflowScansAndClear)
{
    constexpr int THREADS = 6, ROUNDS = 4000;
    std::vector<open_file> files(4);
    std::atomic<int> failures{0};
    auto worker = [&](int t) {
        unsigned seed = 12345u + (unsigned)t;
        char name[AC_PATH_MAX];
        uint32_t d, f;
        for (int i = 0; i < ROUNDS; i++) {
            const int op = rand_r(&seed) % 8;
            const bool real = rand_r(&seed) % 2;
            const uint32_t pid = real ? self : NO_PROCESS + (uint32_t)(rand_r(&seed) % 8);
            const int32_t fd = real ? files[rand_r(&seed) % 4].fd : rand_r(&seed) % 8;
            const int32_t other = real ? files[rand_r(&seed) % 4].fd : rand_r(&seed) % 8;
            switch (op) {
            case 0:
            case 1: DriftOpen(pid, fd); break;
            case 2: DriftCondOpen(pid, fd); break;
            case 3: DriftClose(pid, fd, &d, &f); break;
            case 4: DriftDupTrackPossibleClose(pid, other, fd); break;
            case 5:
                memset(name, 0, sizeof name);
                DriftDup(pid, other, fd, name);
                if (name[0] && name[0] != '/') failures++;
                break;
            case 6:
                if (rand_r(&seed) % 50 == 0) DriftClear();
                break;
            default: {
                drift_lock_guard g;
                uint64_t n = 0;
                drift_for_each_live_locked([&](const drift_entry& e) {
                    if (e.name && e.name_len <= 0) failures++;
                    n++;
                });
                if (n != drift_live_count_locked() || n > DRIFT_RING_SIZE) failures++;
                drift_note_fresh_filter_locked();
                if (rand_r(&seed) % 20 == 0) drift.cooldown = 0;  // let scans happen
            }
            }
        }
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
    drift_table end = table();
    EXPECT_LE(end.tail, end.head);
    EXPECT_LE(end.head - end.tail, DRIFT_RING_SIZE);
    DriftClear();
#ifdef DRIFT_TEST_ASAN
    for (int i = 0; i < 64; i++) DriftOpen(1, i);
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

}  // namespace
