// Object cache internals and exact counters, also under threads. The slot
// bytes (test_dumps.lua) and Lua callers in threads (mt_object_cache.lua) are shown from Lua.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cache/object_cache.h"
#include "unit_util.h"

namespace {

using Stats = std::array<uint64_t, AC_CACHE_STAT_COUNT>;
using Delta = std::vector<std::pair<int, uint64_t>>;

Stats snap()
{
    Stats s{};
    CacheStats(s.data());
    return s;
}

// Counters that changed since `before`, as {index, delta}.
Delta changed(const Stats& before)
{
    Stats after = snap();
    Delta out;
    for (int i = 0; i < AC_CACHE_STAT_COUNT; i++)
        if (after[i] != before[i]) out.push_back({i, after[i] - before[i]});
    return out;
}

ac_objectid digest_of(const std::string& text)
{
    ac_objectid id{};
    EXPECT_EQ(HashString(text.c_str(), id.bytes), 32);
    return id;
}

uint32_t slot_of(const std::string& path)
{
    ac_objectid id = digest_of(path);
    return ac_objectid_hash(&id);
}

// Two paths "<prefix><n>" whose digests share a slot.
std::pair<std::string, std::string> find_collision(const std::string& prefix)
{
    std::vector<int> first(AC_CACHE_SLOTS, -1);
    for (int n = 0;; n++) {
        uint32_t s = slot_of(prefix + std::to_string(n));
        if (first[s] >= 0) return {prefix + std::to_string(first[s]), prefix + std::to_string(n)};
        first[s] = n;
    }
}

struct Lookup {
    int rc;
    int32_t type;
    std::string ruleset;
    uint64_t size;
    uint32_t isexec;
};

// Lookup with every output present; size and isexec start at sentinels so
// that an untouched output shows.
constexpr uint64_t UNTOUCHED = 0xDEADBEEFull;
constexpr uint32_t UNTOUCHED_X = 0xABCDu;
Lookup lookup(const std::string& path)
{
    Lookup r{0, -7, "", UNTOUCHED, UNTOUCHED_X};
    char rs[AC_RULESET_TEXT_MAX] = {};
    r.rc = IsCached(path.c_str(), &r.type, rs, &r.size, &r.isexec);
    r.ruleset = rs;
    return r;
}

bool slot_is_zero(const ac_cache_entry& e)
{
    static const ac_cache_entry zero{};
    return memcmp(&e, &zero, sizeof zero) == 0;
}

class ObjectCache : public ::testing::Test {
protected:
    void SetUp() override { ClearCache(); }
    TempDir dir{"objcache"};
    // A sparse file of the given size and mode.
    std::string make_file(const std::string& name, off_t size, mode_t mode)
    {
        std::string path = dir.file(name, "", mode);
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        return path;
    }
};

TEST(ObjectCacheDigest, TextUpToItsNulAndTheSlotIndex)
{
    ac_objectid id{};
    EXPECT_EQ(HashString("abc\0def", id.bytes), 32);
    EXPECT_EQ(memcmp(id.bytes, digest_of("abc").bytes, 32), 0) << "the text before its NUL";
    ac_objectid a = digest_of("/usr/bin/env"), b = digest_of("/usr//bin/env");
    EXPECT_FALSE(ac_objectid_equal(&a, &b)) << "two spellings, two objects";
    b = a;
    EXPECT_TRUE(ac_objectid_equal(&a, &b));
    for (int at : {0, 7, 8, 15, 16, 23, 24, 31}) {
        ac_objectid c = a;
        c.bytes[at] ^= 0x01;
        EXPECT_FALSE(ac_objectid_equal(&a, &c)) << "byte " << at;
    }
    // ((sign-extended d0) << 8) ^ (sign-extended d1), low 16 bits; the rest does not matter.
    const unsigned idx[][3] = {{0x12, 0x34, 0x1234}, {0x12, 0x80, 0xED80}, {0x12, 0xFF, 0xEDFF},
                               {0x80, 0x00, 0x8000}, {0x80, 0x80, 0x7F80}, {0xFF, 0xFF, 0x00FF},
                               {0x00, 0xFF, 0xFFFF}};
    for (auto& c : idx) {
        ac_objectid x{};
        memset(x.bytes + 2, 0x5A, 30);
        x.bytes[0] = (unsigned char)c[0], x.bytes[1] = (unsigned char)c[1];
        EXPECT_EQ(ac_objectid_hash(&x), c[2]) << c[0] << "," << c[1];
    }
}

TEST_F(ObjectCache, CollidingPathEvictsTheFirst)
{
    auto [a, b] = find_collision("/opt/collide/file-");
    ASSERT_EQ(AddToCache(a.c_str(), 1, nullptr), 1);
    EXPECT_EQ(lookup(a).type, 1);
    ASSERT_EQ(AddToCache(b.c_str(), 2, nullptr), 1);

    Stats before = snap();
    int32_t type = -7;
    EXPECT_EQ(IsCached(a.c_str(), &type, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_MISS, 1}}));
    before = snap();
    EXPECT_EQ(RemoveFromCache(a.c_str()), 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_REMOVEMISS, 1}}));
    EXPECT_EQ(lookup(b).type, 2);
    EXPECT_EQ(RemoveFromCache(b.c_str()), 1);
    EXPECT_TRUE(slot_is_zero(getAcCache()[slot_of(b)]));
    EXPECT_EQ(RemoveFromCache(b.c_str()), 0);

    // Removal matches the identifier only: a slot of cache type 0 is no hit but is removable.
    getAcCache()[slot_of(b)].objectid = digest_of(b);
    EXPECT_EQ(lookup(b).type, 0);
    before = snap();
    EXPECT_EQ(RemoveFromCache(b.c_str()), 1);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_REMOVEHIT, 1}}));
}

// The numbers live in the slot: a block stored without (valid) text keeps
// them, whichever object it is; removal and clearing zero them.
TEST_F(ObjectCache, BlockWithoutRulesetKeepsTheSlotsPreviousNumbers)
{
    auto [a, b] = find_collision("/opt/ruleset-keep/");
    const struct {
        const std::string& path;
        int32_t type;
        const char* text;
        const char* want;  // the ruleset a lookup of `path` gives afterwards
    } steps[] = {
        {a, 3, "ruleset-5-6-7-8", "ruleset-5-6-7-8"}, {a, 3, nullptr, "ruleset-5-6-7-8"},
        {a, 3, "ruleset-9-9-9", "ruleset-5-6-7-8"},  {a, 1, nullptr, ""},
        {a, 3, nullptr, "ruleset-5-6-7-8"},          {b, 3, nullptr, "ruleset-5-6-7-8"},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(AddToCache(s.path.c_str(), s.type, s.text), 1);
        EXPECT_EQ(lookup(s.path).ruleset, s.want) << s.type << " " << (s.text ? s.text : "-");
    }
    EXPECT_EQ(lookup(a).type, 0);
    ASSERT_EQ(RemoveFromCache(b.c_str()), 1);
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(b).ruleset, "");
    ASSERT_EQ(AddToCache(b.c_str(), 3, "ruleset-1-1-1-1"), 1);
    ClearCache();
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(b).ruleset, "");
}

TEST_F(ObjectCache, TypeMappingAndCounters)
{
    const struct {
        int32_t type, stored;
        ac_cache_stat add, hit;
    } cases[] = {
        {0, 1, AC_STAT_ADD_APPROVED, AC_STAT_HIT_APPROVED},   {1, 1, AC_STAT_ADD_APPROVED, AC_STAT_HIT_APPROVED},
        {2, 2, AC_STAT_ADD_UNRECOGNIZED, AC_STAT_HIT_UNRECOGNIZED},
        {3, 3, AC_STAT_ADD_BLOCK, AC_STAT_HIT_BLOCK},         {4, 1, AC_STAT_ADD_APPROVED, AC_STAT_HIT_APPROVED},
        {7, 1, AC_STAT_ADD_APPROVED, AC_STAT_HIT_APPROVED},   {-1, 1, AC_STAT_ADD_APPROVED, AC_STAT_HIT_APPROVED},
        {INT32_MIN, 1, AC_STAT_ADD_APPROVED, AC_STAT_HIT_APPROVED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        std::string p = "/usr/bin/type-" + std::to_string(c.type);
        Stats before = snap();
        ASSERT_EQ(AddToCache(p.c_str(), c.type, nullptr), 1);
        EXPECT_EQ(changed(before), (Delta{{c.add, 1}}));
        before = snap();
        Lookup r = lookup(p);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.type, c.stored);
        EXPECT_EQ(changed(before), (Delta{{c.hit, 1}}));
        // A hit reads no file status and leaves size and is-executable alone.
        EXPECT_EQ(r.size, UNTOUCHED);
        EXPECT_EQ(r.isexec, UNTOUCHED_X);
        EXPECT_EQ(r.ruleset, "");
    }
    // Storing twice keeps the last verdict and counts both.
    Stats before = snap();
    AddToCache("/usr/bin/twice", 3, nullptr);
    AddToCache("/usr/bin/twice", 1, nullptr);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_ADD_APPROVED, 1}, {AC_STAT_ADD_BLOCK, 1}}));
    EXPECT_EQ(lookup("/usr/bin/twice").type, 1);
}

// A miss of a regular file of 1 to 104,857,599 bytes fills size and isexec
// (any x bit); anything else returns -2, counts why and leaves them alone.
TEST_F(ObjectCache, EligibilityBoundariesAndExecBits)
{
    constexpr ac_cache_stat ONLY_MISS = AC_CACHE_STAT_COUNT;
    const std::string sub = dir / "sub", fifo = dir / "fifo", link = dir / "link", dangling = dir / "dangling";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    make_file("sub/inside", 10, 0644);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "below").c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), dangling.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    // A directory is "not a file" unless its file system reports size 0.
    const ac_cache_stat dir_counter = st.st_size == 0 ? AC_STAT_STAT_SIZE_ZERO : AC_STAT_STAT_NOT_FILE;

    const struct {
        std::string path;
        ac_cache_stat counter;  // ONLY_MISS: eligible
        uint64_t size;
        uint32_t isexec;
    } cases[] = {
        {make_file("m0644", 1234, 0644), ONLY_MISS, 1234, 0},
        {make_file("m0744", 1234, 0744), ONLY_MISS, 1234, 1},
        {make_file("m0710", 1234, 0710), ONLY_MISS, 1234, 1},
        {make_file("m0001", 1234, 0001), ONLY_MISS, 1234, 1},
        {make_file("one", 1, 0755), ONLY_MISS, 1, 1},
        {make_file("below", 104857599, 0644), ONLY_MISS, 104857599, 0},
        {link, ONLY_MISS, 104857599, 0},  // symbolic links are followed
        {make_file("at", 104857600, 0755), AC_STAT_STAT_TOO_BIG, UNTOUCHED, UNTOUCHED_X},
        {make_file("above", 104857601 + 4096, 0755), AC_STAT_STAT_TOO_BIG, UNTOUCHED, UNTOUCHED_X},
        {make_file("empty", 0, 0755), AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, UNTOUCHED_X},
        {fifo, AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, UNTOUCHED_X},  // non-regular of size 0
        {sub, dir_counter, UNTOUCHED, UNTOUCHED_X},
        {"/proc/self/status", AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, UNTOUCHED_X},
        {dir / "missing", AC_STAT_STAT_FAIL, UNTOUCHED, UNTOUCHED_X},
        {dangling, AC_STAT_STAT_FAIL, UNTOUCHED, UNTOUCHED_X},
        {"", AC_STAT_STAT_FAIL, UNTOUCHED, UNTOUCHED_X},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Stats before = snap();
        Lookup r = lookup(c.path);
        EXPECT_EQ(r.rc, c.counter == ONLY_MISS ? 1 : -2);
        EXPECT_EQ(r.type, 0);
        EXPECT_EQ(r.size, c.size);
        EXPECT_EQ(r.isexec, c.isexec);
        EXPECT_EQ(r.ruleset, "");
        Delta want{{AC_STAT_MISS, 1}};
        if (c.counter != ONLY_MISS) want.push_back({c.counter, 1});
        EXPECT_EQ(changed(before), want);
    }

    // Without size or isexec output a miss reads no file status.
    int32_t type = -7;
    uint64_t size = 0;
    uint32_t isexec = 0;
    Stats before = snap();
    EXPECT_EQ(IsCached((dir / "missing").c_str(), &type, nullptr, nullptr, &isexec), 1);
    EXPECT_EQ(IsCached((dir / "missing").c_str(), &type, nullptr, &size, nullptr), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_MISS, 2}}));
}

// A null text cannot be hashed: every operation reports -1, no output or slot is written.
TEST_F(ObjectCache, HashingFailureTouchesNothing)
{
    AddToCache("/usr/bin/present", 2, nullptr);
    std::vector<unsigned char> table(reinterpret_cast<unsigned char*>(ac_cache),
                                     reinterpret_cast<unsigned char*>(ac_cache) + sizeof ac_cache);
    Stats before = snap();
    int32_t type = -7;
    uint64_t size = 99;
    uint32_t isexec = 98;
    char rs[AC_RULESET_TEXT_MAX] = "untouched";
    EXPECT_EQ(AddToCache(nullptr, 3, "ruleset-1-2-3-4"), -1);
    EXPECT_EQ(IsCached(nullptr, &type, rs, &size, &isexec), -1);
    EXPECT_EQ(RemoveFromCache(nullptr), -1);
    EXPECT_EQ(type, -7);
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(isexec, 98u);
    EXPECT_STREQ(rs, "untouched");
    EXPECT_EQ(changed(before), Delta{});
    EXPECT_EQ(memcmp(table.data(), ac_cache, sizeof ac_cache), 0);
}

TEST_F(ObjectCache, ClearEmptiesTheTableAndOnlyCountsClear)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 100; i++) {
        paths.push_back("/usr/lib/clear-" + std::to_string(i));
        AddToCache(paths.back().c_str(), i % 4, "ruleset-1-2-3-4");
    }
    Stats before = snap();
    EXPECT_EQ(ClearCache(), 1);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_CLEAR, 1}}));
    for (size_t i = 0; i < AC_CACHE_SLOTS; i++) ASSERT_TRUE(slot_is_zero(getAcCache()[i])) << "slot " << i;
    before = snap();
    for (const std::string& p : paths) EXPECT_EQ(lookup(p).type, 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_MISS, paths.size()}, {AC_STAT_STAT_FAIL, paths.size()}}));
}

// Each thread stores, looks up and removes paths of its own slots while an
// observer looks up a real file and reads the raw table under the lock as the
// dump does: no entry may be lost and the counters must add up exactly.
TEST_F(ObjectCache, ConcurrentOperationsLoseNoEntry)
{
    constexpr int kThreads = 4, kPaths = 400, kRounds = 20;
    std::vector<bool> used(AC_CACHE_SLOTS, false);
    std::vector<std::vector<std::string>> paths(kThreads);
    for (int t = 0, n = 0; t < kThreads; t++)
        while ((int)paths[t].size() < kPaths) {
            std::string p = "/mt/own/t" + std::to_string(t) + "/f" + std::to_string(n++);
            if (!used[slot_of(p)]) used[slot_of(p)] = true, paths[t].push_back(p);
        }
    auto ruleset = [](int t, int i) { return "ruleset-" + std::to_string(t + 1) + "-" + std::to_string(i) + "-7-8"; };
    auto want_type = [](int i) { return i % 4 == 0 ? 1 : i % 4; };  // 0 is stored as approved
    auto want_ruleset = [&](int t, int i) { return i % 4 == 3 ? ruleset(t, i) : ""; };
    const std::string real = make_file("real", 4321, 0755);
    Stats before = snap();
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    auto worker = [&](int t) {
        const auto& mine = paths[t];
        for (int round = 0; round < kRounds; round++) {
            for (int i = 0; i < kPaths; i++) failures += AddToCache(mine[i].c_str(), i % 4, ruleset(t, i).c_str()) != 1;
            for (int i = 0; i < kPaths; i++) {
                Lookup r = lookup(mine[i]);
                failures += r.rc != 1 || r.type != want_type(i) || r.ruleset != want_ruleset(t, i);
            }
            for (int i = 0; i < kPaths; i += 2) failures += RemoveFromCache(mine[i].c_str()) != 1;
            for (int i = 0; i < kPaths; i++) {
                int32_t type = -7;
                failures += IsCached(mine[i].c_str(), &type, nullptr, nullptr, nullptr) != 1;
                failures += (i % 2 == 0) != (type == 0);
            }
        }
        for (int i = 0; i < kPaths; i += 2) AddToCache(mine[i].c_str(), i % 4, ruleset(t, i).c_str());
    };
    std::thread observer([&] {
        while (!done.load()) {
            Lookup r = lookup(real);
            failures += r.rc != 1 || r.size != 4321 || r.isexec != 1 || snap()[AC_STAT_REMOVEFAIL] != 0;
            pthread_mutex_lock(&vava_cache_lock);
            for (size_t i = 0; i < AC_CACHE_SLOTS; i += 97) failures += getAcCache()[i].cache_type > 3;
            pthread_mutex_unlock(&vava_cache_lock);
        }
    });
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    done = true;
    observer.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kPaths; i++) {
            Lookup r = lookup(paths[t][i]);
            ASSERT_EQ(r.type, want_type(i)) << paths[t][i];
            ASSERT_EQ(r.ruleset, want_ruleset(t, i)) << paths[t][i];
        }

    // Per thread and round: types 0 and 1 are approved, 2 unrecognized, 3 block,
    // a quarter of the paths each; the first lookup pass hits all, the second
    // hits the odd ones (types 1 and 3) and misses the even ones. At the end the
    // even ones are stored again and the final check hits every entry once.
    Stats after = snap();
    auto d = [&](ac_cache_stat k) { return after[k] - before[k]; };
    const uint64_t pt = kThreads * (kPaths / 4);  // paths of one type, all threads
    EXPECT_EQ(d(AC_STAT_ADD_APPROVED), kRounds * 2 * pt + pt);
    EXPECT_EQ(d(AC_STAT_ADD_UNRECOGNIZED), kRounds * pt + pt);
    EXPECT_EQ(d(AC_STAT_ADD_BLOCK), kRounds * pt);
    EXPECT_EQ(d(AC_STAT_HIT_APPROVED), kRounds * 3 * pt + 2 * pt);
    EXPECT_EQ(d(AC_STAT_HIT_UNRECOGNIZED), kRounds * pt + pt);
    EXPECT_EQ(d(AC_STAT_HIT_BLOCK), kRounds * 2 * pt + pt);
    EXPECT_GE(d(AC_STAT_MISS), kRounds * 2 * pt);  // and the observer's misses
    EXPECT_EQ(d(AC_STAT_REMOVEHIT), kRounds * 2 * pt);
    EXPECT_EQ(d(AC_STAT_REMOVEMISS) + d(AC_STAT_CLEAR), 0u);
    EXPECT_EQ(d(AC_STAT_STAT_FAIL) + d(AC_STAT_STAT_NOT_FILE) + d(AC_STAT_STAT_SIZE_ZERO) + d(AC_STAT_STAT_TOO_BIG),
              0u);
}

}  // namespace
