// Object cache internals: digest and slot index, the slot bytes, collisions and
// eviction, type mapping, eligibility by file status and exec bits, hashing
// failures, clearing, counters, and every table operation from several threads
// at once. The Lua functions (ruleset round trips among them) are shown in
// tests/lua/test_object_cache.lua and mt_object_cache.lua.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cache/object_cache.h"

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

std::string hex(const ac_objectid& id)
{
    std::string s;
    for (unsigned char b : id.bytes) s += "0123456789abcdef"[b >> 4], s += "0123456789abcdef"[b & 15];
    return s;
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
Lookup lookup(const std::string& path)
{
    Lookup r{0, -7, "", 0xDEADBEEFull, 0xABCDu};
    char rs[AC_RULESET_TEXT_MAX] = {};
    r.rc = IsCached(path.c_str(), &r.type, rs, &r.size, &r.isexec);
    r.ruleset = rs;
    return r;
}

const ac_cache_entry& entry_of(const std::string& path) { return getAcCache()[slot_of(path)]; }

bool slot_is_zero(const ac_cache_entry& e)
{
    static const ac_cache_entry zero{};
    return memcmp(&e, &zero, sizeof zero) == 0;
}

class ObjectCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearCache();
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/objcache-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A sparse file of the given size and mode.
    std::string make_file(const std::string& name, off_t size, mode_t mode)
    {
        std::string path = dir_ + "/" + name;
        EXPECT_EQ(close(open(path.c_str(), O_CREAT | O_WRONLY, 0600)), 0) << path;
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string dir_;
};

TEST(ObjectCacheDigest, Sha256OfTheTextAndTheSlotIndex)
{
    EXPECT_EQ(hex(digest_of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(digest_of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ac_objectid id{};
    EXPECT_EQ(HashString("abc\0def", id.bytes), 32);  // the text before its NUL
    EXPECT_EQ(hex(id), hex(digest_of("abc")));
    EXPECT_NE(hex(digest_of("/usr/bin/env")), hex(digest_of("/usr//bin/env"))) << "two spellings, two objects";

    ac_objectid a = digest_of("/bin/ls"), b = a;
    EXPECT_TRUE(ac_objectid_equal(&a, &b));
    for (int at : {0, 7, 8, 15, 16, 23, 24, 31}) {
        ac_objectid c = a;
        c.bytes[at] ^= 0x01;
        EXPECT_FALSE(ac_objectid_equal(&a, &c)) << "byte " << at;
    }

    // ((sign-extended d0) << 8) ^ (sign-extended d1), low 16 bits.
    const unsigned idx[][3] = {{0x12, 0x34, 0x1234}, {0x12, 0x80, 0xED80}, {0x12, 0xFF, 0xEDFF},
                               {0x80, 0x00, 0x8000}, {0x80, 0x80, 0x7F80}, {0xFF, 0xFF, 0x00FF},
                               {0x00, 0xFF, 0xFFFF}};
    for (auto& c : idx) {
        ac_objectid x{};
        x.bytes[0] = (unsigned char)c[0];
        x.bytes[1] = (unsigned char)c[1];
        memset(x.bytes + 2, 0x5A, 30);  // the rest does not matter
        EXPECT_EQ(ac_objectid_hash(&x), c[2]) << c[0] << "," << c[1];
    }
}

TEST_F(ObjectCache, StoreWritesTheSlotBytesOfTheDump)
{
    const std::string p = "/usr/bin/layout-check";
    ASSERT_EQ(AddToCache(p.c_str(), 3, "ruleset-1-2-3-4"), 1);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&entry_of(p));
    EXPECT_EQ(memcmp(raw, digest_of(p).bytes, 32), 0);
    const unsigned char tail[12] = {1, 0, 2, 0, 3, 0, 4, 0, 3, 0, 0, 0};
    EXPECT_EQ(memcmp(raw + 32, tail, 12), 0);
    // Ruleset text is only taken with type 3.
    for (int32_t t : {1, 2}) {
        std::string q = "/rs/type-" + std::to_string(t);
        ASSERT_EQ(AddToCache(q.c_str(), t, "ruleset-1-2-3-4"), 1);
        const ac_cache_entry& e = entry_of(q);
        EXPECT_EQ(e.ruleset[0] | e.ruleset[1] | e.ruleset[2] | e.ruleset[3], 0);
    }
}

TEST_F(ObjectCache, CollidingPathEvictsTheFirst)
{
    auto [a, b] = find_collision("/opt/collide/file-");
    ASSERT_NE(a, b);
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
    EXPECT_TRUE(slot_is_zero(entry_of(b)));
    EXPECT_EQ(RemoveFromCache(b.c_str()), 0);

    // Removal matches the identifier only: a slot of cache type 0 is no hit
    // but is removable.
    ac_cache_entry& e = getAcCache()[slot_of(b)];
    e.objectid = digest_of(b);
    EXPECT_EQ(lookup(b).type, 0);
    before = snap();
    EXPECT_EQ(RemoveFromCache(b.c_str()), 1);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_REMOVEHIT, 1}}));
}

// The numbers live in the slot: a block stored without text (or with text
// that does not scan) keeps them, whichever object it is; removal and
// clearing zero them.
TEST_F(ObjectCache, BlockWithoutRulesetKeepsTheSlotsPreviousNumbers)
{
    auto [a, b] = find_collision("/opt/ruleset-keep/");
    ASSERT_EQ(AddToCache(a.c_str(), 3, "ruleset-5-6-7-8"), 1);
    ASSERT_EQ(AddToCache(a.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(a).ruleset, "ruleset-5-6-7-8");
    ASSERT_EQ(AddToCache(a.c_str(), 3, "ruleset-9-9-9"), 1);
    EXPECT_EQ(lookup(a).ruleset, "ruleset-5-6-7-8");
    ASSERT_EQ(AddToCache(a.c_str(), 1, nullptr), 1);
    EXPECT_EQ(lookup(a).ruleset, "");
    ASSERT_EQ(AddToCache(a.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(a).ruleset, "ruleset-5-6-7-8");
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(a).type, 0);
    EXPECT_EQ(lookup(b).ruleset, "ruleset-5-6-7-8");
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
        EXPECT_EQ(r.size, 0xDEADBEEFull);
        EXPECT_EQ(r.isexec, 0xABCDu);
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
    constexpr uint64_t UNTOUCHED = 0xDEADBEEFull;
    constexpr ac_cache_stat ONLY_MISS = AC_CACHE_STAT_COUNT;
    const std::string sub = dir_ + "/sub", fifo = dir_ + "/fifo", link = dir_ + "/link";
    const std::string dangling = dir_ + "/dangling";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    make_file("sub/inside", 10, 0644);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir_ + "/below").c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), dangling.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    // A directory is "not a file" unless its file system reports size 0.
    const ac_cache_stat dir_counter = st.st_size == 0 ? AC_STAT_STAT_SIZE_ZERO : AC_STAT_STAT_NOT_FILE;

    const struct {
        std::string path;
        int rc;
        ac_cache_stat counter;
        uint64_t size;
        uint32_t isexec;
    } cases[] = {
        {make_file("m0644", 1234, 0644), 1, ONLY_MISS, 1234, 0},
        {make_file("m0744", 1234, 0744), 1, ONLY_MISS, 1234, 1},
        {make_file("m0701", 1234, 0701), 1, ONLY_MISS, 1234, 1},
        {make_file("m0710", 1234, 0710), 1, ONLY_MISS, 1234, 1},
        {make_file("m0001", 1234, 0001), 1, ONLY_MISS, 1234, 1},
        {make_file("m0444", 1234, 0444), 1, ONLY_MISS, 1234, 0},
        {make_file("one", 1, 0755), 1, ONLY_MISS, 1, 1},
        {make_file("below", 104857599, 0644), 1, ONLY_MISS, 104857599, 0},
        {link, 1, ONLY_MISS, 104857599, 0},  // symbolic links are followed
        {make_file("at", 104857600, 0755), -2, AC_STAT_STAT_TOO_BIG, UNTOUCHED, 0xABCDu},
        {make_file("above", 104857601 + 4096, 0755), -2, AC_STAT_STAT_TOO_BIG, UNTOUCHED, 0xABCDu},
        {make_file("empty", 0, 0755), -2, AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, 0xABCDu},
        {fifo, -2, AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, 0xABCDu},  // non-regular of size 0
        {sub, -2, dir_counter, UNTOUCHED, 0xABCDu},
        {"/proc/self/status", -2, AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, 0xABCDu},
        {dir_ + "/missing", -2, AC_STAT_STAT_FAIL, UNTOUCHED, 0xABCDu},
        {dangling, -2, AC_STAT_STAT_FAIL, UNTOUCHED, 0xABCDu},
        {"", -2, AC_STAT_STAT_FAIL, UNTOUCHED, 0xABCDu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Stats before = snap();
        Lookup r = lookup(c.path);
        EXPECT_EQ(r.rc, c.rc);
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
    EXPECT_EQ(IsCached((dir_ + "/missing").c_str(), &type, nullptr, nullptr, &isexec), 1);
    EXPECT_EQ(IsCached((dir_ + "/missing").c_str(), &type, nullptr, &size, nullptr), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_MISS, 2}}));
}

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
    // A null text cannot be hashed: every operation reports -1, no output is written.
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
    EXPECT_EQ(snap()[AC_STAT_REMOVEFAIL], 0u);
}

// Each thread stores, looks up and removes paths of its own slots while an
// observer looks up a real file, reads the counters and reads the raw table
// under the lock as the dump does: no entry may be lost and the counters
// must add up exactly.
TEST_F(ObjectCache, ConcurrentOperationsLoseNoEntry)
{
    constexpr int kThreads = 4, kPaths = 400, kRounds = 20;
    std::vector<bool> used(AC_CACHE_SLOTS, false);
    std::vector<std::vector<std::string>> paths(kThreads);
    for (int t = 0, n = 0; t < kThreads; t++)
        while ((int)paths[t].size() < kPaths) {
            std::string p = "/mt/own/t" + std::to_string(t) + "/f" + std::to_string(n++);
            if (used[slot_of(p)]) continue;
            used[slot_of(p)] = true;
            paths[t].push_back(p);
        }
    auto ruleset = [](int t, int i) { return "ruleset-" + std::to_string(t + 1) + "-" + std::to_string(i) + "-7-8"; };
    auto want_type = [](int i) { return i % 4 == 0 ? 1 : i % 4; };  // 0 is stored as approved
    const std::string real = make_file("real", 4321, 0755);
    Stats before = snap();
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};

    auto worker = [&](int t) {
        const auto& mine = paths[t];
        for (int round = 0; round < kRounds; round++) {
            for (int i = 0; i < kPaths; i++)
                if (AddToCache(mine[i].c_str(), i % 4, ruleset(t, i).c_str()) != 1) failures++;
            for (int i = 0; i < kPaths; i++) {
                Lookup r = lookup(mine[i]);
                if (r.rc != 1 || r.type != want_type(i)) failures++;
                if (r.ruleset != (i % 4 == 3 ? ruleset(t, i) : "")) failures++;
            }
            for (int i = 0; i < kPaths; i += 2)
                if (RemoveFromCache(mine[i].c_str()) != 1) failures++;
            for (int i = 0; i < kPaths; i++) {
                int32_t type = -7;
                if (IsCached(mine[i].c_str(), &type, nullptr, nullptr, nullptr) != 1) failures++;
                if ((i % 2 == 0) != (type == 0)) failures++;
            }
        }
        for (int i = 0; i < kPaths; i += 2) AddToCache(mine[i].c_str(), i % 4, ruleset(t, i).c_str());
    };
    auto observer = [&] {
        while (!done.load()) {
            Lookup r = lookup(real);
            if (r.rc != 1 || r.size != 4321 || r.isexec != 1) failures++;
            if (snap()[AC_STAT_REMOVEFAIL] != 0) failures++;
            pthread_mutex_lock(&vava_cache_lock);
            for (size_t i = 0; i < AC_CACHE_SLOTS; i += 97)
                if (getAcCache()[i].cache_type > 3) failures++;
            pthread_mutex_unlock(&vava_cache_lock);
        }
    };
    std::thread obs(observer);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    done = true;
    obs.join();
    EXPECT_EQ(failures.load(), 0);

    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kPaths; i++) {
            Lookup r = lookup(paths[t][i]);
            ASSERT_EQ(r.type, want_type(i)) << paths[t][i];
            ASSERT_EQ(r.ruleset, i % 4 == 3 ? ruleset(t, i) : "") << paths[t][i];
        }

    Stats after = snap();
    auto d = [&](ac_cache_stat k) { return after[k] - before[k]; };
    // Per thread and round: types 0 and 1 are approved, 2 unrecognized, 3
    // block, a quarter of the paths each; the first lookup pass hits all, the
    // second hits the odd ones (types 1 and 3) and misses the even ones. At
    // the end the even ones (types 0 and 2) are stored again and the final
    // check hits every entry once.
    const uint64_t pt = kThreads * (kPaths / 4);  // paths of one type, all threads
    EXPECT_EQ(d(AC_STAT_ADD_APPROVED), kRounds * 2 * pt + pt);
    EXPECT_EQ(d(AC_STAT_ADD_UNRECOGNIZED), kRounds * pt + pt);
    EXPECT_EQ(d(AC_STAT_ADD_BLOCK), kRounds * pt);
    EXPECT_EQ(d(AC_STAT_HIT_APPROVED), kRounds * 3 * pt + 2 * pt);
    EXPECT_EQ(d(AC_STAT_HIT_UNRECOGNIZED), kRounds * pt + pt);
    EXPECT_EQ(d(AC_STAT_HIT_BLOCK), kRounds * 2 * pt + pt);
    EXPECT_GE(d(AC_STAT_MISS), kRounds * 2 * pt);  // and the observer's misses
    EXPECT_EQ(d(AC_STAT_REMOVEHIT), kRounds * 2 * pt);
    EXPECT_EQ(d(AC_STAT_REMOVEMISS), 0u);
    EXPECT_EQ(d(AC_STAT_CLEAR), 0u);
    EXPECT_EQ(d(AC_STAT_STAT_FAIL) + d(AC_STAT_STAT_NOT_FILE) + d(AC_STAT_STAT_SIZE_ZERO) + d(AC_STAT_STAT_TOO_BIG),
              0u);
}

}  // namespace
