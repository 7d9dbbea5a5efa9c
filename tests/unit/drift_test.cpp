// Drift tracker: ring, overflow with live and dead processes, the cooldown of
// the dead-process scan, dup sequences with captured names, counters, clearing,
// the Lua functions and concurrent use.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cache/drift.h"
#include "cache/paths.h"
#include "cache/proc_info.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// From the sanitizer runtime (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define DRIFT_TEST_ASAN 1
#endif

namespace {

// Process ids above the kernel's largest pid_max (2^22): never a live process.
constexpr uint32_t NO_PROCESS = 0x10000000;

uint64_t C(drift_counter c)
{
    drift_lock_guard g;
    return drift.counters[c];
}

uint64_t live()
{
    drift_lock_guard g;
    return drift_live_count_locked();
}

int64_t cooldown()
{
    drift_lock_guard g;
    return drift.cooldown;
}

void set_cooldown(int64_t t)
{
    drift_lock_guard g;
    drift.cooldown = t;
}

std::vector<std::pair<uint32_t, int32_t>> entries()
{
    drift_lock_guard g;
    std::vector<std::pair<uint32_t, int32_t>> v;
    drift_for_each_live_locked([&](const drift_entry& e) { v.emplace_back(e.pid, e.fd); });
    return v;
}

bool tracked(uint32_t pid, int32_t fd)
{
    for (auto& e : entries())
        if (e.first == pid && e.second == fd) return true;
    return false;
}

// The captured name of a live entry: {found, name or "<none>"}.
std::pair<bool, std::string> captured(uint32_t pid, int32_t fd)
{
    drift_lock_guard g;
    for (uint64_t n = 0; n < drift_live_count_locked(); n++) {
        const drift_entry* e = drift_live_entry_locked(n);
        if (e->pid != pid || e->fd != fd) continue;
        if (!e->name) {
            EXPECT_EQ(e->name_len, -1);
            return {true, "<none>"};
        }
        return {true, std::string(e->name, (size_t)e->name_len)};
    }
    return {false, ""};
}

// Every counter, so that a test can state all of them at once.
std::vector<uint64_t> counters()
{
    drift_lock_guard g;
    return std::vector<uint64_t>(drift.counters, drift.counters + DRIFT_COUNTER_COUNT);
}

std::vector<uint64_t> expect_counts(std::initializer_list<std::pair<drift_counter, uint64_t>> nonzero)
{
    std::vector<uint64_t> v(DRIFT_COUNTER_COUNT, 0);
    for (auto& p : nonzero) v[p.first] = p.second;
    return v;
}

// Child processes: live ones wait for a signal; dead ones have exited and been
// reaped, so that kill(pid, 0) fails with ESRCH.
pid_t spawn_live()
{
    pid_t pid = fork();
    if (pid == 0) {
        for (;;) pause();
    }
    EXPECT_GT(pid, 0);
    return pid;
}

pid_t spawn_dead()
{
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    EXPECT_GT(pid, 0);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return pid;
}

void reap(std::vector<pid_t>& pids)
{
    for (pid_t p : pids) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    pids.clear();
}

// A temporary file held open; its link target under /proc/self/fd.
struct temp_file {
    int fd = -1;
    std::string path;
    temp_file()
    {
        char name[] = "/tmp/drift_test_XXXXXX";
        fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        char real[PATH_MAX];
        path = realpath(name, real) ? real : name;
    }
    ~temp_file()
    {
        if (fd >= 0) close(fd);
        unlink(path.c_str());
    }
};

#ifdef DRIFT_TEST_ASAN
// Exact under the sanitizer's allocator (glibc's statistics count chunks parked
// in its per-thread caches as in use, so they cannot show a free).
size_t allocated_bytes() { return __sanitizer_get_current_allocated_bytes(); }
#endif

class Drift : public ::testing::Test {
protected:
    void SetUp() override { DriftClear(); }
    void TearDown() override
    {
        DriftClear();
        reap(children);
    }
    std::vector<pid_t> children;
};

TEST_F(Drift, TableLayoutAndAccessors)
{
    EXPECT_EQ(sizeof drift, 1704u);
    EXPECT_EQ(getDriftData(), &drift);
    EXPECT_EQ(offsetof(drift_table, ring) + 2 * sizeof(drift_entry), 168u + 48u);
    EXPECT_STREQ(drift_counter_names[0], "track");
    EXPECT_STREQ(drift_counter_names[17], "iterations");
    EXPECT_STREQ(drift_excludes[0], "/dev/null");
    EXPECT_STREQ(drift_excludes[9], "/var/log/zabbix");

    DriftOpen(7, 1);
    DriftOpen(7, 2);
    drift_lock_guard g;
    EXPECT_EQ(drift.head, 2u);
    EXPECT_EQ(drift.tail, 0u);
    EXPECT_EQ(drift.ring[0].pid, 7u);
    EXPECT_EQ(drift.ring[1].fd, 2);
    EXPECT_EQ(drift.ring[1].name, nullptr);
    EXPECT_EQ(drift.ring[1].name_len, -1);
    // Byte image: head at offset 160, first entry's descriptor at 168 + 4.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(getDriftData());
    uint64_t head;
    memcpy(&head, bytes + 160, 8);
    EXPECT_EQ(head, 2u);
    int32_t fd;
    memcpy(&fd, bytes + 168 + 24 + 4, 4);
    EXPECT_EQ(fd, 2);
}

TEST_F(Drift, OpenThenCloseIsDrift)
{
    EXPECT_EQ(DriftOpen(100, 3), 0);
    uint32_t is_drift = 7, new_filter = 7;
    EXPECT_EQ(DriftClose(100, 3, &is_drift, &new_filter), 1);
    EXPECT_EQ(is_drift, 1u);
    EXPECT_EQ(new_filter, 0u);
    EXPECT_EQ(live(), 0u);
    EXPECT_EQ(counters(), expect_counts({{DRIFT_track, 1}, {DRIFT_open, 1}, {DRIFT_found, 1}}));
}

TEST_F(Drift, OpenDoesNotLookForTheSamePair)
{
    DriftOpen(100, 3);
    DriftOpen(100, 3);
    EXPECT_EQ(live(), 2u);
    uint32_t d, f;
    DriftClose(100, 3, &d, &f);
    EXPECT_EQ(d, 1u);
    EXPECT_EQ(live(), 1u);
    DriftClose(100, 3, &d, &f);
    EXPECT_EQ(d, 1u);
    DriftClose(100, 3, &d, &f);
    EXPECT_EQ(d, 0u);
}

TEST_F(Drift, UntrackedClosesAskForAFreshFilterAfter256)
{
    uint32_t d = 9, f = 9;
    for (int i = 1; i <= 256; i++) {
        DriftClose(100, 4, &d, &f);
        ASSERT_EQ(d, 0u);
        ASSERT_EQ(f, 0u) << "close " << i;
    }
    DriftClose(100, 4, &d, &f);
    EXPECT_EQ(f, 1u);
    DriftClose(100, 4, &d, &f);
    EXPECT_EQ(f, 1u);
    EXPECT_EQ(counters(), expect_counts({{DRIFT_notfound, 258}, {DRIFT_dirt, 258}}));

    {  // what the fresh filter builder does
        drift_lock_guard g;
        drift_note_fresh_filter_locked();
    }
    EXPECT_EQ(C(DRIFT_dirt), 0u);
    EXPECT_EQ(C(DRIFT_newfilter), 1u);
    EXPECT_EQ(C(DRIFT_notfound), 258u);
    DriftClose(100, 4, &d, &f);
    EXPECT_EQ(f, 0u);
    EXPECT_EQ(C(DRIFT_dirt), 1u);
}

TEST_F(Drift, SearchesCountIterations)
{
    DriftOpen(1, 1);
    DriftOpen(1, 2);
    DriftOpen(1, 3);
    uint32_t d, f;
    DriftClose(1, 3, &d, &f);  // two examined before the match
    EXPECT_EQ(C(DRIFT_iterations), 2u);
    DriftClose(9, 9, &d, &f);  // none found: both live entries
    EXPECT_EQ(C(DRIFT_iterations), 4u);
    // Releasing (1, 3) moved the oldest, (1, 1), into its slot: the order is
    // now (1, 2), (1, 1).
    DriftClose(1, 1, &d, &f);
    EXPECT_EQ(C(DRIFT_iterations), 5u);
    DriftClose(8, 8, &d, &f);
    EXPECT_EQ(C(DRIFT_iterations), 6u);
    DriftClose(1, 2, &d, &f);  // the oldest: none before it
    EXPECT_EQ(C(DRIFT_iterations), 6u);
    DriftClose(8, 8, &d, &f);  // empty ring: nothing examined
    EXPECT_EQ(C(DRIFT_iterations), 6u);
}

TEST_F(Drift, ReleaseMovesTheOldestIntoTheFreedSlot)
{
    for (int fd = 0; fd < 4; fd++) DriftOpen(5, fd);
    uint32_t d, f;
    DriftClose(5, 2, &d, &f);
    drift_lock_guard g;
    EXPECT_EQ(drift.tail, 1u);
    EXPECT_EQ(drift.head, 4u);
    EXPECT_EQ(drift.ring[2].fd, 0);  // the oldest took the freed slot
    EXPECT_EQ(drift.ring[1].fd, 1);
    EXPECT_EQ(drift.ring[3].fd, 3);
}

TEST_F(Drift, HeadAndTailKeepGrowingAcrossTheRing)
{
    uint32_t d, f;
    for (int i = 0; i < 200; i++) {
        DriftOpen(11, i);
        DriftOpen(12, i);
        DriftClose(11, i, &d, &f);
        ASSERT_EQ(d, 1u);
        DriftClose(12, i, &d, &f);
        ASSERT_EQ(d, 1u);
    }
    drift_lock_guard g;
    EXPECT_EQ(drift.head, 400u);
    EXPECT_EQ(drift.tail, 400u);
    EXPECT_EQ(drift.counters[DRIFT_overflow], 0u);
}

TEST_F(Drift, OverflowWithLiveProcessesScansOnceThenCoolsDown)
{
    for (int i = 0; i < 4; i++) children.push_back(spawn_live());
    for (int i = 0; i < 64; i++) DriftOpen((uint32_t)children[i % 4], 100 + i);
    EXPECT_EQ(live(), 64u);
    EXPECT_EQ(cooldown(), 0);

    int64_t before = (int64_t)time(nullptr);
    DriftOpen((uint32_t)children[0], 164);  // 65th: scan finds nobody dead
    int64_t after = (int64_t)time(nullptr);
    EXPECT_EQ(live(), 64u);
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_overflow), 1u);
    EXPECT_EQ(C(DRIFT_losttrack), 0u);
    EXPECT_GE(cooldown(), before + 60);
    EXPECT_LE(cooldown(), after + 60);
    EXPECT_FALSE(tracked((uint32_t)children[0], 100));  // the oldest was dropped
    EXPECT_TRUE(tracked((uint32_t)children[1], 101));
    EXPECT_TRUE(tracked((uint32_t)children[0], 164));

    int64_t cool = cooldown();
    DriftOpen((uint32_t)children[1], 165);  // 66th, within the cooldown: no scan
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_overflow), 2u);
    EXPECT_EQ(cooldown(), cool);
    EXPECT_FALSE(tracked((uint32_t)children[1], 101));
    EXPECT_TRUE(tracked((uint32_t)children[1], 165));
    EXPECT_EQ(C(DRIFT_track), 66u);
    EXPECT_EQ(C(DRIFT_open), 66u);

    // Cooldown still ahead: dead processes are not even looked for.
    DriftOpen(NO_PROCESS, 1);
    DriftOpen(NO_PROCESS, 2);
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_overflow), 4u);
    EXPECT_EQ(C(DRIFT_losttrack), 0u);

    // Once the cooldown has passed the next full-ring add scans again: the two
    // dead entries go (fewer than 32), so the cooldown is set anew and nothing
    // is dropped as overflow.
    set_cooldown((int64_t)time(nullptr) - 1);
    before = (int64_t)time(nullptr);
    DriftOpen((uint32_t)children[2], 166);
    EXPECT_EQ(C(DRIFT_lostcheck), 2u);
    EXPECT_EQ(C(DRIFT_losttrack), 2u);
    EXPECT_EQ(C(DRIFT_overflow), 4u);
    EXPECT_GE(cooldown(), before + 60);
    EXPECT_EQ(live(), 63u);
    EXPECT_FALSE(tracked(NO_PROCESS, 1));
    EXPECT_FALSE(tracked(NO_PROCESS, 2));
}

TEST_F(Drift, CooldownAheadOfTheClockPreventsTheScan)
{
    for (int i = 0; i < 64; i++) DriftOpen(NO_PROCESS + (uint32_t)i, i);  // all gone
    set_cooldown((int64_t)time(nullptr) + 5);
    DriftOpen(getpid(), 99);
    EXPECT_EQ(C(DRIFT_lostcheck), 0u);
    EXPECT_EQ(C(DRIFT_overflow), 1u);
    EXPECT_EQ(live(), 64u);

    const int64_t expired = (int64_t)time(nullptr) - 1;
    set_cooldown(expired);  // the scan frees all 63 dead entries
    DriftOpen(getpid(), 100);
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_losttrack), 63u);
    EXPECT_EQ(C(DRIFT_overflow), 1u);
    EXPECT_EQ(cooldown(), expired) << "32 or more freed: cooldown untouched";
    auto v = entries();
    ASSERT_EQ(v.size(), 2u);
    std::set<int32_t> fds = {v[0].second, v[1].second};
    EXPECT_EQ(fds, (std::set<int32_t>{99, 100}));
}

TEST_F(Drift, OverflowReleasesExitedProcessesWithoutCooldown)
{
    // 40 of the first 64 entries belong to processes that have exited and
    // been reaped, 24 to processes still running, interleaved.
    std::vector<pid_t> dead;
    for (int i = 0; i < 40; i++) dead.push_back(spawn_dead());
    for (int i = 0; i < 6; i++) children.push_back(spawn_live());
    for (pid_t p : dead) ASSERT_TRUE(IsProcessAlive((uint32_t)p)) << "reaped child " << p << " still there";
    for (pid_t p : children) ASSERT_FALSE(IsProcessAlive((uint32_t)p));

    std::set<std::pair<uint32_t, int32_t>> alive;
    int d = 0, l = 0;
    for (int i = 0; i < 64; i++) {
        bool use_dead = (i % 8) < 5;  // 5 of every 8
        if (use_dead) {
            DriftOpen((uint32_t)dead[d++], 10 + i);
        } else {
            uint32_t pid = (uint32_t)children[l++ % children.size()];
            DriftOpen(pid, 10 + i);
            alive.insert({pid, 10 + i});
        }
    }
    ASSERT_EQ(d, 40);
    ASSERT_EQ(alive.size(), 24u);

    uint32_t last = (uint32_t)children[0];
    DriftOpen(last, 500);
    alive.insert({last, 500});
    EXPECT_EQ(C(DRIFT_losttrack), 40u);
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_overflow), 0u);
    EXPECT_EQ(cooldown(), 0);
    EXPECT_EQ(live(), 25u);
    auto v = entries();
    using pair_set = std::set<std::pair<uint32_t, int32_t>>;
    EXPECT_EQ(pair_set(v.begin(), v.end()), alive);
}

TEST_F(Drift, ScanFreeingFewerThanHalfSetsTheCooldownButDropsNothing)
{
    std::vector<pid_t> dead;
    for (int i = 0; i < 5; i++) dead.push_back(spawn_dead());
    children.push_back(spawn_live());
    for (int i = 0; i < 64; i++)
        DriftOpen(i < 5 ? (uint32_t)dead[i] : (uint32_t)children[0], i);
    int64_t before = (int64_t)time(nullptr);
    DriftOpen((uint32_t)children[0], 64);
    EXPECT_EQ(C(DRIFT_losttrack), 5u);
    EXPECT_EQ(C(DRIFT_lostcheck), 1u);
    EXPECT_EQ(C(DRIFT_overflow), 0u);
    EXPECT_GE(cooldown(), before + 60);
    EXPECT_EQ(live(), 60u);
    for (int i = 5; i <= 64; i++) EXPECT_TRUE(tracked((uint32_t)children[0], i)) << i;
}

TEST_F(Drift, ThirtyTwoFreedEntriesAreEnoughToSkipTheCooldown)
{
    for (int dead = 31; dead <= 32; dead++) {
        DriftClear();
        for (int i = 0; i < 64; i++)
            DriftOpen(i % 2 && i / 2 < dead ? NO_PROCESS : (uint32_t)getpid(), i);
        DriftOpen(getpid(), 64);
        EXPECT_EQ(C(DRIFT_losttrack), (uint64_t)dead);
        EXPECT_EQ(C(DRIFT_overflow), 0u);
        EXPECT_EQ(live(), 64u - (uint64_t)dead + 1);
        if (dead == 32)
            EXPECT_EQ(cooldown(), 0);
        else
            EXPECT_GT(cooldown(), 0);
    }
}

TEST_F(Drift, ACooldownEqualToTheClockStillPreventsTheScan)
{
    for (int i = 0; i < 64; i++) DriftOpen(NO_PROCESS, i);
    for (int attempt = 0;; attempt++) {
        ASSERT_LT(attempt, 100);
        const uint64_t overflow = C(DRIFT_overflow);
        const int64_t now = (int64_t)time(nullptr);
        set_cooldown(now);
        DriftOpen(NO_PROCESS, 100 + attempt);
        if ((int64_t)time(nullptr) != now) continue;  // the second changed meanwhile
        EXPECT_EQ(C(DRIFT_lostcheck), 0u);
        EXPECT_EQ(C(DRIFT_overflow), overflow + 1);
        break;
    }
}

TEST_F(Drift, ConditionalOpen)
{
    DriftCondOpen(100, 3);
    DriftCondOpen(100, 3);
    DriftCondOpen(100, 4);
    EXPECT_EQ(live(), 2u);
    EXPECT_EQ(counters(), expect_counts({{DRIFT_track, 2},
                                         {DRIFT_condopen, 2},
                                         {DRIFT_condfound, 1},
                                         {DRIFT_iterations, 1}}));
}

TEST_F(Drift, DupPreCheckOnEmptyAndUntrackedRing)
{
    EXPECT_EQ(DriftDupTrackPossibleClose(100, 3, 5), 0);
    EXPECT_EQ(counters(), expect_counts({{DRIFT_dupnamemiss, 1}, {DRIFT_dupmiss, 1}}));

    DriftOpen(100, 3);
    DriftClear();
    DriftOpen(100, 3);
    EXPECT_EQ(DriftDupTrackPossibleClose(100, 3, 5), 1);  // old tracked
    EXPECT_EQ(DriftDupTrackPossibleClose(100, 7, 5), 0);  // neither
    EXPECT_EQ(counters(), expect_counts({{DRIFT_track, 1},
                                         {DRIFT_open, 1},
                                         {DRIFT_dupnamemiss, 2},
                                         {DRIFT_dupmiss, 1},
                                         {DRIFT_iterations, 3}}));
    EXPECT_EQ(captured(100, 3).second, "<none>");
}

TEST_F(Drift, DupOfATrackedDescriptorTracksTheNewOne)
{
    DriftOpen(100, 3);
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(100, 3, 5, name), 1);
    EXPECT_EQ(name[0], '\0');
    EXPECT_TRUE(tracked(100, 3));
    EXPECT_TRUE(tracked(100, 5));
    EXPECT_EQ(counters(), expect_counts({{DRIFT_track, 2},
                                         {DRIFT_open, 1},
                                         {DRIFT_dup, 1},
                                         {DRIFT_iterations, 1}}));
}

TEST_F(Drift, DupPostMisses)
{
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(100, 3, 5, name), 0);  // empty
    EXPECT_EQ(counters(), expect_counts({{DRIFT_dupmiss, 1}}));

    DriftOpen(100, 9);
    EXPECT_EQ(DriftDup(100, 3, 5, name), 0);  // neither descriptor tracked
    EXPECT_EQ(C(DRIFT_dupmiss), 2u);
    EXPECT_EQ(C(DRIFT_found), 0u);

    DriftClear();
    DriftOpen(100, 5);
    EXPECT_EQ(DriftDup(100, 3, 5, name), 0);  // only the new one: released, ring empty
    EXPECT_EQ(counters(), expect_counts({{DRIFT_track, 1},
                                         {DRIFT_open, 1},
                                         {DRIFT_found, 1},
                                         {DRIFT_dupmiss, 1}}));
    EXPECT_EQ(live(), 0u);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(DriftDup(100, 3, 5, nullptr), 0);  // a null name output is allowed
}

TEST_F(Drift, DupOntoATrackedDescriptorCapturesItsName)
{
    temp_file file;
    const uint32_t self = (uint32_t)getpid();
    const int32_t old = 900;  // not an open descriptor of this process
    DriftOpen(self, old);      // the old descriptor
    DriftOpen(self, file.fd);  // the new descriptor, which the dup will close

    EXPECT_EQ(DriftDupTrackPossibleClose(self, old, file.fd), 1);
    EXPECT_EQ(C(DRIFT_dupname), 1u);
    EXPECT_EQ(C(DRIFT_dupnamemiss), 0u);
    auto cap = captured(self, file.fd);
    ASSERT_TRUE(cap.first);
    EXPECT_EQ(cap.second, file.path);
    {
        drift_lock_guard g;
        for (uint64_t n = 0; n < drift_live_count_locked(); n++) {
            const drift_entry* e = drift_live_entry_locked(n);
            if (e->fd == file.fd) {
                EXPECT_EQ((size_t)e->name_len, file.path.size());
            }
        }
    }

    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(self, old, file.fd, name), 1);
    EXPECT_EQ(std::string(name), file.path);
    EXPECT_TRUE(tracked(self, file.fd));  // added again, for the dup
    EXPECT_EQ(captured(self, file.fd).second, "<none>");
    EXPECT_EQ(counters(), expect_counts({{DRIFT_track, 3},
                                         {DRIFT_open, 2},
                                         {DRIFT_found, 1},
                                         {DRIFT_dup, 1},
                                         {DRIFT_dupname, 1},
                                         {DRIFT_iterations, 2}}));
    EXPECT_EQ(live(), 2u);
}

TEST_F(Drift, DupOntoATrackedDescriptorWithTheOldOneUntracked)
{
    temp_file file;
    const uint32_t self = (uint32_t)getpid();
    DriftOpen(self, file.fd);
    DriftOpen(42, 42);  // keeps the ring non-empty after the release
    EXPECT_EQ(DriftDupTrackPossibleClose(self, 77, file.fd), 1);
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(self, 77, file.fd, name), 0);
    EXPECT_EQ(std::string(name), file.path);
    EXPECT_FALSE(tracked(self, file.fd));
    EXPECT_EQ(C(DRIFT_found), 1u);
    EXPECT_EQ(C(DRIFT_dupmiss), 1u);
    EXPECT_EQ(C(DRIFT_dup), 0u);
}

TEST_F(Drift, CapturingANameAgainReplacesTheFirst)
{
    temp_file a, b;
    const uint32_t self = (uint32_t)getpid();
    DriftOpen(self, a.fd);
    EXPECT_EQ(DriftDupTrackPossibleClose(self, 1, a.fd), 1);
    EXPECT_EQ(DriftDupTrackPossibleClose(self, 1, a.fd), 1);
    EXPECT_EQ(C(DRIFT_dupname), 2u);
    EXPECT_EQ(captured(self, a.fd).second, a.path);
    (void)b;
}

TEST_F(Drift, UnreadableNameIsCountedAndLeavesNoName)
{
    DriftOpen(NO_PROCESS, 5);
    EXPECT_EQ(DriftDupTrackPossibleClose(NO_PROCESS, 3, 5), 1);
    EXPECT_EQ(C(DRIFT_dupnamefail), 1u);
    EXPECT_EQ(C(DRIFT_dupname), 0u);
    EXPECT_EQ(captured(NO_PROCESS, 5).second, "<none>");
    char name[AC_PATH_MAX] = {};
    EXPECT_EQ(DriftDup(NO_PROCESS, 3, 5, name), 0);
    EXPECT_EQ(name[0], '\0');
}

TEST_F(Drift, CapturedNamesLeaveWithTheirEntries)
{
    temp_file file;
    const uint32_t self = (uint32_t)getpid();
#ifdef DRIFT_TEST_ASAN
    const size_t base = allocated_bytes();
#endif

    // Released by close, by overflow, by the dead-process scan and by clear.
    DriftOpen(self, file.fd);
    DriftDupTrackPossibleClose(self, 0, file.fd);
    uint32_t d, f;
    DriftClose(self, file.fd, &d, &f);
    EXPECT_EQ(d, 1u);

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
        EXPECT_EQ(C(DRIFT_dupname), (uint64_t)i + 1);
        // Re-key the entry so the next open is a different pair; the name stays.
        drift_lock_guard g;
        drift.ring[(drift.head - 1) & DRIFT_RING_MASK].fd = 2000 + i;
    }
    EXPECT_EQ(live(), 64u);
#ifdef DRIFT_TEST_ASAN
    EXPECT_GT(allocated_bytes(), base);
#endif
    DriftClear();
    EXPECT_EQ(live(), 0u);
    EXPECT_EQ(counters(), std::vector<uint64_t>(DRIFT_COUNTER_COUNT, 0));
    EXPECT_EQ(cooldown(), 0);
#ifdef DRIFT_TEST_ASAN
    EXPECT_EQ(allocated_bytes(), base);
#endif

    // Overwrite every slot, so that a name DriftClear failed to free would no
    // longer be reachable from the table and a leak check would see it.
    for (int i = 0; i < 64; i++) DriftOpen(1, i);
#ifdef DRIFT_TEST_ASAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// The Lua functions, called through a Lua state.
class DriftLua : public Drift {
protected:
    void SetUp() override
    {
        Drift::SetUp();
        L = luaL_newstate();
        luaL_openlibs(L);
        static const luaL_Reg fns[] = {
            {"DriftClear", l_DriftClear},
            {"DriftClose", l_DriftClose},
            {"DriftCondOpen", l_DriftCondOpen},
            {"DriftDup", l_DriftDup},
            {"DriftDupTrackPossibleClose", l_DriftDupTrackPossibleClose},
            {"DriftOpen", l_DriftOpen},
            {"DriftStats", l_DriftStats},
            {nullptr, nullptr},
        };
        luaL_newlib(L, fns);
        lua_setglobal(L, "d");
    }
    void TearDown() override
    {
        lua_close(L);
        Drift::TearDown();
    }
    std::string run(const char* chunk)
    {
        if (luaL_dostring(L, chunk) != LUA_OK) {
            std::string err = lua_tostring(L, -1);
            lua_pop(L, 1);
            return err;
        }
        lua_settop(L, 0);
        return "ok";
    }
    lua_State* L = nullptr;
};

TEST_F(DriftLua, StatsAfterClear)
{
    DriftOpen(1, 1);
    EXPECT_EQ(run(R"(
        d.DriftClear()
        local s = d.DriftStats()
        local n = 0
        for k, v in pairs(s) do
          n = n + 1
          assert(v == (k == "max" and 64 or 0), k .. "=" .. tostring(v))
        end
        assert(n == 22, "keys " .. n)
    )"), "ok");
}

TEST_F(DriftLua, ResultsOfEachFunction)
{
    EXPECT_EQ(run(R"(
        assert(select("#", d.DriftOpen(100, 3)) == 0)
        local a, b = d.DriftClose(100, 3)
        assert(a == true and b == false)
        a, b = d.DriftClose(100, 3)
        assert(a == false and b == false)
        assert(select("#", d.DriftCondOpen(100, 3)) == 0)
        local r = table.pack(d.DriftDupTrackPossibleClose(100, 3, 5))
        assert(r.n == 0, "tracked: no result")
        assert(select("#", d.DriftDupTrackPossibleClose(100, 4, 6)) == 1)
        assert(d.DriftDupTrackPossibleClose(100, 4, 6) == false)
        local n = select("#", d.DriftDup(100, 3, 5))
        assert(n == 2, "dup tracked: two results")
        local name, tracked = d.DriftDup(100, 3, 7)
        assert(name == nil and tracked == true)
        assert(select("#", d.DriftDup(100, 8, 9)) == 1)
        assert(d.DriftDup(100, 8, 9) == nil)
        local s = d.DriftStats()
        assert(s.current == 3 and s.total == 4 and s.max == 64, s.current .. " " .. s.total)
        assert(s.dup == 2 and s.condopen == 1 and s.found == 1 and s.notfound == 1)
    )"), "ok");
}

TEST_F(DriftLua, DupReturnsTheCapturedName)
{
    temp_file file;
    lua_pushinteger(L, getpid());
    lua_setglobal(L, "self");
    lua_pushinteger(L, file.fd);
    lua_setglobal(L, "fd");
    lua_pushstring(L, file.path.c_str());
    lua_setglobal(L, "path");
    EXPECT_EQ(run(R"(
        d.DriftOpen(self, fd)
        d.DriftOpen(self, 1)
        assert(select("#", d.DriftDupTrackPossibleClose(self, 1, fd)) == 0)
        local name, tracked = d.DriftDup(self, 1, fd)
        assert(name == path, tostring(name))
        assert(tracked == true)
        local s = d.DriftStats()
        assert(s.dupname == 1 and s.found == 1 and s.dup == 1 and s.current == 2)
    )"), "ok");
}

TEST_F(DriftLua, IntegerArgumentsAreRequired)
{
    EXPECT_NE(run("d.DriftOpen(1)").find("bad argument #2"), std::string::npos);
    EXPECT_NE(run("d.DriftClose('x', 1)").find("bad argument #1"), std::string::npos);
    EXPECT_NE(run("d.DriftDup(1, 2)").find("bad argument #3"), std::string::npos);
    EXPECT_NE(run("d.DriftDupTrackPossibleClose(1, {}, 3)").find("bad argument #2"),
              std::string::npos);
    EXPECT_NE(run("d.DriftCondOpen()").find("bad argument #1"), std::string::npos);
    EXPECT_EQ(live(), 0u);
    // The lock is free after the errors.
    DriftOpen(1, 1);
    EXPECT_EQ(live(), 1u);
}

TEST_F(DriftLua, StatsReportTheLow32Bits)
{
    {
        drift_lock_guard g;
        drift.counters[DRIFT_iterations] = 0x100000005ull;
        drift.cooldown = 0x1200000034ll;
    }
    EXPECT_EQ(run(R"(
        local s = d.DriftStats()
        assert(s.iterations == 5, s.iterations)
        assert(s.cooldown == 0x34, s.cooldown)
    )"), "ok");
}

// Every operation from several threads at once, with distinct pids and fds and
// at most 4 live entries per thread, so that no entry can be lost to overflow:
// the totals must come out exact.
TEST_F(Drift, ConcurrentOperationsLoseNothing)
{
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 3000;
    const uint32_t self = (uint32_t)getpid();
    std::vector<temp_file> files(THREADS);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<uint64_t> fresh{0};

    auto worker = [&](int t) {
        const uint32_t p = NO_PROCESS + (uint32_t)t;
        const int realfd = files[t].fd;
        char name[AC_PATH_MAX];
        uint32_t d, f;
        for (int i = 0; i < ROUNDS; i++) {
            bool ok = true;
            ok &= DriftOpen(p, 1) == 0;
            DriftCondOpen(p, 1);
            DriftCondOpen(p, 2);
            ok &= DriftDupTrackPossibleClose(p, 1, 3) == 1;  // old tracked
            memset(name, 0, sizeof name);
            ok &= DriftDup(p, 1, 3, name) == 1 && name[0] == 0;
            ok &= DriftDupTrackPossibleClose(p, 1, 3) == 1;  // new tracked, unreadable name
            ok &= DriftDup(p, 1, 3, name) == 1 && name[0] == 0;
            DriftClose(p, 1, &d, &f);
            ok &= d == 1;
            DriftClose(p, 2, &d, &f);
            ok &= d == 1;
            DriftClose(p, 3, &d, &f);
            ok &= d == 1;
            DriftClose(p, 9, &d, &f);
            ok &= d == 0;
            // A real descriptor of this process: the name is captured.
            DriftOpen(self, realfd);
            ok &= DriftDupTrackPossibleClose(self, 100000 + t, realfd) == 1;
            memset(name, 0, sizeof name);
            ok &= DriftDup(self, 100000 + t, realfd, name) == 0;
            ok &= files[t].path == name;
            if (!ok) failures++;
        }
    };
    // Readers: the fresh-filter builder's pattern and the dump's pattern.
    auto reader = [&] {
        while (!stop.load()) {
            drift_lock_guard g;
            if (drift_live_count_locked() > DRIFT_RING_SIZE) failures++;
            uint64_t n = 0;
            drift_for_each_live_locked([&](const drift_entry& e) {
                if (e.name && e.name_len <= 0) failures++;
                n++;
            });
            if (n != drift_live_count_locked()) failures++;
            drift_note_fresh_filter_locked();
            fresh++;
        }
    };
    std::thread r(reader);
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    stop = true;
    r.join();

    EXPECT_EQ(failures.load(), 0);
    const uint64_t N = (uint64_t)THREADS * ROUNDS;
    EXPECT_EQ(live(), 0u);
    EXPECT_EQ(C(DRIFT_open), 2 * N);
    EXPECT_EQ(C(DRIFT_track), 5 * N);
    EXPECT_EQ(C(DRIFT_condfound), N);
    EXPECT_EQ(C(DRIFT_condopen), N);
    EXPECT_EQ(C(DRIFT_dup), 2 * N);
    EXPECT_EQ(C(DRIFT_found), 5 * N);
    EXPECT_EQ(C(DRIFT_notfound), N);
    EXPECT_EQ(C(DRIFT_dupname), N);
    EXPECT_EQ(C(DRIFT_dupnamefail), N);
    EXPECT_EQ(C(DRIFT_dupnamemiss), N);
    EXPECT_EQ(C(DRIFT_dupmiss), N);
    EXPECT_EQ(C(DRIFT_dupnamenomem), 0u);
    EXPECT_EQ(C(DRIFT_overflow), 0u);
    EXPECT_EQ(C(DRIFT_lostcheck), 0u);
    EXPECT_EQ(C(DRIFT_losttrack), 0u);
    EXPECT_EQ(C(DRIFT_newfilter), fresh.load());
}

// The hottest paths (open, close, dup) in tight loops, so that the threads are
// inside the tracker at the same moment as often as possible.
TEST_F(Drift, ConcurrentHotLoopsKeepExactCounts)
{
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 100000;
    auto worker = [](int t) {
        const uint32_t p = NO_PROCESS + 0x100 + (uint32_t)t;
        uint32_t d, f;
        for (int i = 0; i < ROUNDS; i++) {
            DriftOpen(p, i & 7);
            DriftDup(p, i & 7, 8 + (i & 7), nullptr);
            DriftClose(p, 8 + (i & 7), &d, &f);
            DriftClose(p, i & 7, &d, &f);
        }
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    const uint64_t N = (uint64_t)THREADS * ROUNDS;
    drift_lock_guard g;
    EXPECT_EQ(drift.head, 2 * N);
    EXPECT_EQ(drift.tail, 2 * N);
    EXPECT_EQ(drift.counters[DRIFT_track], 2 * N);
    EXPECT_EQ(drift.counters[DRIFT_open], N);
    EXPECT_EQ(drift.counters[DRIFT_dup], N);
    EXPECT_EQ(drift.counters[DRIFT_found], 2 * N);
    EXPECT_EQ(drift.counters[DRIFT_notfound], 0u);
    EXPECT_EQ(drift.counters[DRIFT_overflow], 0u);
}

// Overlapping pairs, overflow, dead-process scans, name captures and clears
// all at once: nothing may crash, leak or be used after free (run it under the
// sanitizer build), and the ring stays consistent.
TEST_F(Drift, ConcurrentChurnWithOverflowAndClear)
{
    constexpr int THREADS = 6;
    constexpr int ROUNDS = 4000;
    const uint32_t self = (uint32_t)getpid();
    std::vector<temp_file> files(4);
    std::atomic<int> failures{0};

    auto worker = [&](int t) {
        unsigned seed = 12345u + (unsigned)t;
        char name[AC_PATH_MAX];
        uint32_t d, f;
        lua_State* L = luaL_newstate();
        for (int i = 0; i < ROUNDS; i++) {
            int op = rand_r(&seed) % 9;
            bool real = rand_r(&seed) % 2;
            uint32_t pid = real ? self : NO_PROCESS + (uint32_t)(rand_r(&seed) % 8);
            int32_t fd = real ? files[rand_r(&seed) % 4].fd : rand_r(&seed) % 8;
            int32_t other = real ? files[rand_r(&seed) % 4].fd : rand_r(&seed) % 8;
            switch (op) {
            case 0:
            case 1:
                DriftOpen(pid, fd);
                break;
            case 2:
                DriftCondOpen(pid, fd);
                break;
            case 3:
                DriftClose(pid, fd, &d, &f);
                break;
            case 4:
                DriftDupTrackPossibleClose(pid, other, fd);
                break;
            case 5:
                memset(name, 0, sizeof name);
                DriftDup(pid, other, fd, name);
                if (name[0] && name[0] != '/') failures++;
                break;
            case 6:
                if (rand_r(&seed) % 50 == 0) DriftClear();
                break;
            case 7: {
                lua_pushcfunction(L, l_DriftDup);
                lua_pushinteger(L, pid);
                lua_pushinteger(L, other);
                lua_pushinteger(L, fd);
                lua_call(L, 3, 2);
                lua_settop(L, 0);
                lua_pushcfunction(L, l_DriftStats);
                lua_call(L, 0, 1);
                lua_getfield(L, -1, "current");
                if (lua_tointeger(L, -1) > 64) failures++;
                lua_settop(L, 0);
                break;
            }
            case 8: {
                drift_lock_guard g;
                if (drift_live_count_locked() > DRIFT_RING_SIZE) failures++;
                if (rand_r(&seed) % 20 == 0) drift.cooldown = 0;  // let scans happen
                break;
            }
            }
        }
        lua_close(L);
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
    {
        drift_lock_guard g;
        EXPECT_LE(drift_live_count_locked(), DRIFT_RING_SIZE);
        EXPECT_LE(drift.tail, drift.head);
    }
    DriftClear();
#ifdef DRIFT_TEST_ASAN
    for (int i = 0; i < 64; i++) DriftOpen(1, i);
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

}  // namespace
