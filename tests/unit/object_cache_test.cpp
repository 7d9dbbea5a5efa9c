// Object cache: digest and slot index, slot layout, store, lookup,
// removal and clearing, eligibility by file status, counters, and every table
// operation from several threads at once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
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

Stats snap()
{
    Stats s{};
    CacheStats(s.data());
    return s;
}

// Counters that changed between two snapshots, as {index, delta}.
std::vector<std::pair<int, uint64_t>> changed(const Stats& before, const Stats& after)
{
    std::vector<std::pair<int, uint64_t>> out;
    for (int i = 0; i < AC_CACHE_STAT_COUNT; i++)
        if (after[i] != before[i]) out.push_back({i, after[i] - before[i]});
    return out;
}

using Delta = std::vector<std::pair<int, uint64_t>>;

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
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : id.bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Searches "<prefix><n>" for two paths whose digests share a slot.
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
    char rs[AC_RULESET_TEXT_MAX];
    memset(rs, 0, sizeof rs);
    r.rc = IsCached(path.c_str(), &r.type, rs, &r.size, &r.isexec);
    r.ruleset = rs;
    return r;
}

class ObjectCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearCache();
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/objcache-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // A file of the given size (sparse beyond what is written) and mode.
    std::string make_file(const std::string& name, off_t size, mode_t mode)
    {
        std::string path = dir_ + "/" + name;
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        EXPECT_GE(fd, 0) << path;
        if (size > 0) {
            EXPECT_EQ(write(fd, "x", 1), 1);
        }
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string dir_;
};

TEST(ObjectCacheLayout, TableAndSlotLayoutIsTheDumpFormat)
{
    EXPECT_EQ(sizeof(ac_cache_entry), 44u);
    EXPECT_EQ(sizeof ac_cache, 2883584u);
    EXPECT_EQ(sizeof ac_cache / sizeof ac_cache[0], 65536u);
    EXPECT_EQ(offsetof(ac_cache_entry, ruleset), 32u);
    EXPECT_EQ(offsetof(ac_cache_entry, cache_type), 40u);
    EXPECT_EQ(getAcCache(), &ac_cache[0]);
    EXPECT_EQ(sizeof ac_cache_stats, 15 * sizeof(uint64_t));
}

TEST(ObjectCacheDigest, HashStringIsSha256OfTheTextBeforeItsNul)
{
    EXPECT_EQ(hex(digest_of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(digest_of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const char with_nul[] = "abc\0def";
    ac_objectid id{};
    EXPECT_EQ(HashString(with_nul, id.bytes), 32);
    EXPECT_EQ(hex(id), hex(digest_of("abc")));
    // Two spellings of one file are two objects.
    EXPECT_NE(hex(digest_of("/usr/bin/env")), hex(digest_of("/usr//bin/env")));
}

TEST(ObjectCacheDigest, HashStringIsReentrantAcrossThreads)
{
    const std::string want = hex(digest_of("/usr/bin/tool"));
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([&] {
            for (int i = 0; i < 2000; i++)
                if (hex(digest_of("/usr/bin/tool")) != want) bad++;
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(ObjectCacheDigest, EqualComparesAllFourWords)
{
    ac_objectid a = digest_of("/bin/ls"), b = a;
    EXPECT_TRUE(ac_objectid_equal(&a, &b));
    for (int at : {0, 7, 8, 15, 16, 23, 24, 31}) {
        ac_objectid c = a;
        c.bytes[at] ^= 0x01;
        EXPECT_FALSE(ac_objectid_equal(&a, &c)) << "byte " << at;
    }
}

TEST(ObjectCacheDigest, SlotIndexSignExtendsTheFirstTwoBytes)
{
    auto idx = [](unsigned d0, unsigned d1) {
        ac_objectid id{};
        id.bytes[0] = (unsigned char)d0;
        id.bytes[1] = (unsigned char)d1;
        memset(id.bytes + 2, 0x5A, 30);  // the rest does not matter
        return ac_objectid_hash(&id);
    };
    EXPECT_EQ(idx(0x12, 0x34), 0x1234u);
    EXPECT_EQ(idx(0x12, 0x80), 0xED80u);  // not 0x1280
    EXPECT_EQ(idx(0x12, 0xFF), 0xEDFFu);
    EXPECT_EQ(idx(0x80, 0x00), 0x8000u);
    EXPECT_EQ(idx(0x80, 0x7F), 0x807Fu);
    EXPECT_EQ(idx(0x80, 0x80), 0x7F80u);
    EXPECT_EQ(idx(0xFF, 0xFF), 0x00FFu);
    EXPECT_EQ(idx(0x00, 0xFF), 0xFF80u | 0x7Fu);
    // Every pair against the documented rule; the mapping is one to one.
    std::vector<bool> seen(AC_CACHE_SLOTS, false);
    for (unsigned d0 = 0; d0 < 256; d0++)
        for (unsigned d1 = 0; d1 < 256; d1++) {
            unsigned want = d1 < 0x80 ? d0 * 256 + d1 : (d0 ^ 0xFF) * 256 + d1;
            unsigned got = idx(d0, d1);
            ASSERT_EQ(got, want) << d0 << "," << d1;
            ASSERT_FALSE(seen[got]);
            seen[got] = true;
        }
}

TEST_F(ObjectCache, StoreWritesTheSlotBytes)
{
    const std::string p = "/usr/bin/layout-check";
    ac_objectid id = digest_of(p);
    uint32_t s = ac_objectid_hash(&id);
    ASSERT_EQ(AddToCache(p.c_str(), 3, "ruleset-1-2-3-4"), 1);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(getAcCache()) + (size_t)s * 44;
    EXPECT_EQ(memcmp(raw, id.bytes, 32), 0);
    const unsigned char tail[12] = {1, 0, 2, 0, 3, 0, 4, 0, 3, 0, 0, 0};
    EXPECT_EQ(memcmp(raw + 32, tail, 12), 0);

    ASSERT_EQ(AddToCache(p.c_str(), 3, "ruleset-40000--1-65535-32768"), 1);
    // 40000 -> 0x9C40; "-1" does not scan ("%[^-]" needs one character), so the
    // numbers are those of the previous store.
    const unsigned char kept[8] = {1, 0, 2, 0, 3, 0, 4, 0};
    EXPECT_EQ(memcmp(raw + 32, kept, 8), 0);
    ASSERT_EQ(AddToCache(p.c_str(), 3, "ruleset-40000-1-65535-32768"), 1);
    const unsigned char wrapped[8] = {0x40, 0x9C, 1, 0, 0xFF, 0xFF, 0x00, 0x80};
    EXPECT_EQ(memcmp(raw + 32, wrapped, 8), 0);
}

TEST_F(ObjectCache, CollidingPathEvictsTheFirst)
{
    auto [a, b] = find_collision("/opt/collide/file-");
    ASSERT_NE(a, b);
    ASSERT_EQ(slot_of(a), slot_of(b));

    ASSERT_EQ(AddToCache(a.c_str(), 1, nullptr), 1);
    EXPECT_EQ(lookup(a).type, 1);
    ASSERT_EQ(AddToCache(b.c_str(), 2, nullptr), 1);

    Stats before = snap();
    int32_t type = -7;
    EXPECT_EQ(IsCached(a.c_str(), &type, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_MISS, 1}}));
    EXPECT_EQ(lookup(b).type, 2);

    before = snap();
    EXPECT_EQ(RemoveFromCache(a.c_str()), 0);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_REMOVEMISS, 1}}));
    EXPECT_EQ(lookup(b).type, 2);
    EXPECT_EQ(RemoveFromCache(b.c_str()), 1);
    static const ac_cache_entry zero{};
    EXPECT_EQ(memcmp(&getAcCache()[slot_of(b)], &zero, sizeof zero), 0);
    EXPECT_EQ(RemoveFromCache(b.c_str()), 0);
}

TEST_F(ObjectCache, RemoveIgnoresTheCacheTypeOfAMatchingSlot)
{
    const std::string p = "/usr/bin/typeless";
    ac_objectid id = digest_of(p);
    ac_cache_entry& e = getAcCache()[ac_objectid_hash(&id)];
    e.objectid = id;  // an identifier with cache type 0: not a hit, but removable
    EXPECT_EQ(lookup(p).type, 0);
    Stats before = snap();
    EXPECT_EQ(RemoveFromCache(p.c_str()), 1);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_REMOVEHIT, 1}}));
}

TEST_F(ObjectCache, TypeMapping)
{
    struct Case {
        int32_t type;
        int32_t stored;
        ac_cache_stat counter;
    };
    const Case cases[] = {
        {0, 1, AC_STAT_ADD_APPROVED},  {1, 1, AC_STAT_ADD_APPROVED},       {2, 2, AC_STAT_ADD_UNRECOGNIZED},
        {3, 3, AC_STAT_ADD_BLOCK},     {5, 1, AC_STAT_ADD_APPROVED},       {7, 1, AC_STAT_ADD_APPROVED},
        {-1, 1, AC_STAT_ADD_APPROVED}, {INT32_MIN, 1, AC_STAT_ADD_APPROVED}, {4, 1, AC_STAT_ADD_APPROVED},
    };
    for (const Case& c : cases) {
        std::string p = "/usr/bin/type-" + std::to_string(c.type);
        Stats before = snap();
        ASSERT_EQ(AddToCache(p.c_str(), c.type, nullptr), 1);
        EXPECT_EQ(changed(before, snap()), (Delta{{c.counter, 1}})) << c.type;
        before = snap();
        Lookup r = lookup(p);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.type, c.stored) << c.type;
        ac_cache_stat hit = c.stored == 1 ? AC_STAT_HIT_APPROVED
                            : c.stored == 2 ? AC_STAT_HIT_UNRECOGNIZED
                                            : AC_STAT_HIT_BLOCK;
        EXPECT_EQ(changed(before, snap()), (Delta{{hit, 1}})) << c.type;
        // A hit reads no file status and leaves size and is-executable alone.
        EXPECT_EQ(r.size, 0xDEADBEEFull);
        EXPECT_EQ(r.isexec, 0xABCDu);
        EXPECT_EQ(r.ruleset, "");
    }
}

TEST_F(ObjectCache, StoringTwiceKeepsTheLastVerdictAndCountsBoth)
{
    const std::string p = "/usr/bin/twice";
    Stats before = snap();
    AddToCache(p.c_str(), 3, nullptr);
    AddToCache(p.c_str(), 1, nullptr);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_ADD_APPROVED, 1}, {AC_STAT_ADD_BLOCK, 1}}));
    EXPECT_EQ(lookup(p).type, 1);
}

TEST_F(ObjectCache, RulesetRoundTrips)
{
    auto stored = [](const std::string& p, const char* text) {
        EXPECT_EQ(AddToCache(p.c_str(), 3, text), 1);
        Lookup r = lookup(p);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.type, 3);
        return r.ruleset;
    };
    EXPECT_EQ(stored("/rs/a", "ruleset-1-2-3-4"), "ruleset-1-2-3-4");
    EXPECT_EQ(stored("/rs/b", "ruleset-1-2-3"), "");  // three fields: verdict only
    EXPECT_EQ(stored("/rs/c", "ruleset-40000-2-3-4"), "ruleset--25536-2-3-4");
    EXPECT_EQ(stored("/rs/d", "ruleset-0-0-0-0"), "");  // all zero: no text
    EXPECT_EQ(stored("/rs/e", "ruleset-0-0-0-9"), "ruleset-0-0-0-9");
    EXPECT_EQ(stored("/rs/f", "ruleset-x-1-2-3"), "ruleset-0-1-2-3");  // strtol of "x" is 0
    EXPECT_EQ(stored("/rs/g", "ruleset-1-2-3-4-5"), "ruleset-1-2-3-4");  // last field "4-5"
    EXPECT_EQ(stored("/rs/h", "ruleset-32767-32768-65536-70000"), "ruleset-32767--32768-0-4464");
    EXPECT_EQ(stored("/rs/i", "rules-1-2-3-4"), "");
    EXPECT_EQ(stored("/rs/j", nullptr), "");

    // Ruleset text is only taken with type 3.
    for (int32_t t : {1, 2}) {
        std::string p = "/rs/type-" + std::to_string(t);
        ASSERT_EQ(AddToCache(p.c_str(), t, "ruleset-1-2-3-4"), 1);
        EXPECT_EQ(lookup(p).ruleset, "");
        const ac_cache_entry& e = getAcCache()[slot_of(p)];
        EXPECT_EQ(e.ruleset[0] | e.ruleset[1] | e.ruleset[2] | e.ruleset[3], 0);
    }
}

TEST_F(ObjectCache, BlockWithoutRulesetKeepsTheSlotsPreviousNumbers)
{
    auto [a, b] = find_collision("/opt/ruleset-keep/");
    ASSERT_EQ(AddToCache(a.c_str(), 3, "ruleset-5-6-7-8"), 1);
    // The same object, stored again as block without text or with text that
    // does not scan, keeps its numbers.
    ASSERT_EQ(AddToCache(a.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(a).ruleset, "ruleset-5-6-7-8");
    ASSERT_EQ(AddToCache(a.c_str(), 3, "ruleset-9-9-9"), 1);
    EXPECT_EQ(lookup(a).ruleset, "ruleset-5-6-7-8");
    // Approved and back to block: the numbers were never cleared.
    ASSERT_EQ(AddToCache(a.c_str(), 1, nullptr), 1);
    EXPECT_EQ(lookup(a).ruleset, "");
    ASSERT_EQ(AddToCache(a.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(a).ruleset, "ruleset-5-6-7-8");
    // Another object evicting it into the same slot inherits them.
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(a).type, 0);
    EXPECT_EQ(lookup(b).ruleset, "ruleset-5-6-7-8");
    // Removal zeroes the slot.
    ASSERT_EQ(RemoveFromCache(b.c_str()), 1);
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(b).ruleset, "");
    // And so does clearing.
    ASSERT_EQ(AddToCache(b.c_str(), 3, "ruleset-1-1-1-1"), 1);
    ClearCache();
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_EQ(lookup(b).ruleset, "");
}

TEST_F(ObjectCache, MissOfAnEligibleFileReportsSizeAndExecBits)
{
    struct Case {
        mode_t mode;
        uint32_t isexec;
    };
    for (Case c : {Case{0644, 0}, Case{0744, 1}, Case{0701, 1}, Case{0710, 1}, Case{0600, 0}, Case{0001, 1},
                   Case{0444, 0}}) {
        char name[32];
        snprintf(name, sizeof name, "mode-%04o", (unsigned)c.mode);
        std::string p = make_file(name, 1234, c.mode);
        Stats before = snap();
        Lookup r = lookup(p);
        EXPECT_EQ(r.rc, 1) << name;
        EXPECT_EQ(r.type, 0);
        EXPECT_EQ(r.size, 1234u);
        EXPECT_EQ(r.isexec, c.isexec) << name;
        EXPECT_EQ(r.ruleset, "");
        EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_MISS, 1}}));
    }
}

TEST_F(ObjectCache, EligibilityBoundaries)
{
    struct Case {
        std::string path;
        int rc;
        ac_cache_stat counter;  // AC_CACHE_STAT_COUNT: none besides "miss"
        uint64_t size;
    };
    const std::string one = make_file("one", 1, 0755);
    const std::string below = make_file("below", 104857599, 0644);
    const std::string at = make_file("at", 104857600, 0755);
    const std::string above = make_file("above", 104857601 + 4096, 0755);
    const std::string empty = make_file("empty", 0, 0755);
    const std::string sub = dir_ + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    make_file("sub/inside", 10, 0644);
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0755), 0);
    const std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(below.c_str(), link.c_str()), 0);
    const std::string dangling = dir_ + "/dangling";
    ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), dangling.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    // A directory is "not a file" unless its file system reports size 0.
    ac_cache_stat dir_counter = st.st_size == 0 ? AC_STAT_STAT_SIZE_ZERO : AC_STAT_STAT_NOT_FILE;

    const Case cases[] = {
        {one, 1, AC_CACHE_STAT_COUNT, 1},
        {below, 1, AC_CACHE_STAT_COUNT, 104857599},
        {link, 1, AC_CACHE_STAT_COUNT, 104857599},  // symbolic links are followed
        {at, -2, AC_STAT_STAT_TOO_BIG, 0xDEADBEEFull},
        {above, -2, AC_STAT_STAT_TOO_BIG, 0xDEADBEEFull},
        {empty, -2, AC_STAT_STAT_SIZE_ZERO, 0xDEADBEEFull},
        {fifo, -2, AC_STAT_STAT_SIZE_ZERO, 0xDEADBEEFull},  // non-regular of size 0
        {sub, -2, dir_counter, 0xDEADBEEFull},
        {"/proc/self/status", -2, AC_STAT_STAT_SIZE_ZERO, 0xDEADBEEFull},
        {dir_ + "/missing", -2, AC_STAT_STAT_FAIL, 0xDEADBEEFull},
        {dangling, -2, AC_STAT_STAT_FAIL, 0xDEADBEEFull},
        {"", -2, AC_STAT_STAT_FAIL, 0xDEADBEEFull},
    };
    for (const Case& c : cases) {
        Stats before = snap();
        Lookup r = lookup(c.path);
        EXPECT_EQ(r.rc, c.rc) << c.path;
        EXPECT_EQ(r.type, 0) << c.path;
        EXPECT_EQ(r.size, c.size) << c.path;
        Delta want{{AC_STAT_MISS, 1}};
        if (c.counter != AC_CACHE_STAT_COUNT) want.push_back({c.counter, 1});
        EXPECT_EQ(changed(before, snap()), want) << c.path;
    }

    // A large non-regular object counts as too big: the block device of the
    // root file system where one is reachable.
    if (stat("/dev/vda", &st) == 0 && S_ISBLK(st.st_mode)) {
        Stats before = snap();
        (void)lookup("/dev/vda");
        Delta d = changed(before, snap());
        ASSERT_EQ(d.size(), 2u);
        EXPECT_TRUE(d[1].first == AC_STAT_STAT_SIZE_ZERO || d[1].first == AC_STAT_STAT_TOO_BIG ||
                    d[1].first == AC_STAT_STAT_NOT_FILE);
    }
}

TEST_F(ObjectCache, MissWithoutSizeOrExecOutputsReadsNoStatus)
{
    const std::string missing = dir_ + "/missing";
    int32_t type = -7;
    uint64_t size = 0;
    uint32_t isexec = 0;
    Stats before = snap();
    EXPECT_EQ(IsCached(missing.c_str(), &type, nullptr, nullptr, &isexec), 1);
    EXPECT_EQ(IsCached(missing.c_str(), &type, nullptr, &size, nullptr), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_MISS, 2}}));

    // A hit on a missing file does not read its status either.
    ASSERT_EQ(AddToCache(missing.c_str(), 2, nullptr), 1);
    before = snap();
    Lookup r = lookup(missing);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.type, 2);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_HIT_UNRECOGNIZED, 1}}));
}

TEST_F(ObjectCache, HashingFailureTouchesNothing)
{
    // A null text cannot be hashed: every operation reports -1.
    AddToCache("/usr/bin/present", 2, nullptr);
    std::vector<unsigned char> table_before(reinterpret_cast<unsigned char*>(ac_cache),
                                            reinterpret_cast<unsigned char*>(ac_cache) + sizeof ac_cache);
    Stats before = snap();
    int32_t type = -7;
    char rs[AC_RULESET_TEXT_MAX] = "untouched";
    uint64_t size = 99;
    uint32_t isexec = 98;
    EXPECT_EQ(AddToCache(nullptr, 3, "ruleset-1-2-3-4"), -1);
    EXPECT_EQ(IsCached(nullptr, &type, rs, &size, &isexec), -1);
    EXPECT_EQ(RemoveFromCache(nullptr), -1);
    EXPECT_EQ(type, -7);
    EXPECT_STREQ(rs, "untouched");
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(isexec, 98u);
    EXPECT_EQ(changed(before, snap()), Delta{});
    EXPECT_EQ(memcmp(table_before.data(), ac_cache, sizeof ac_cache), 0);
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
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_CLEAR, 1}}));
    static const ac_cache_entry zero{};
    for (size_t i = 0; i < AC_CACHE_SLOTS; i++)
        ASSERT_EQ(memcmp(&getAcCache()[i], &zero, sizeof zero), 0) << "slot " << i;
    before = snap();
    for (const std::string& p : paths) EXPECT_EQ(lookup(p).type, 0);
    EXPECT_EQ(changed(before, snap()), (Delta{{AC_STAT_MISS, paths.size()}, {AC_STAT_STAT_FAIL, paths.size()}}));
    EXPECT_EQ(ClearCache(), 1);
    EXPECT_EQ(snap()[AC_STAT_CLEAR], before[AC_STAT_CLEAR] + 1);
}

TEST_F(ObjectCache, StatsCopyEveryCounterAndRemovefailStaysZero)
{
    const std::string p = "/usr/bin/counters";
    AddToCache(p.c_str(), 1, nullptr);
    lookup(p);
    RemoveFromCache(p.c_str());
    RemoveFromCache(p.c_str());
    lookup(p);
    Stats s = snap();
    for (int i = 0; i < AC_CACHE_STAT_COUNT; i++) EXPECT_EQ(s[i], ac_cache_stats[i]) << ac_cache_stat_names[i];
    EXPECT_EQ(s[AC_STAT_REMOVEFAIL], 0u);
    EXPECT_STREQ(ac_cache_stat_names[0], "clear");
    EXPECT_STREQ(ac_cache_stat_names[6], "removefail");
    EXPECT_STREQ(ac_cache_stat_names[14], "stat_too_big");
}

TEST_F(ObjectCache, LuaStatsReportEachCounterModulo2To32)
{
    const uint64_t extra = (1ull << 32) + 5;
    pthread_mutex_lock(&vava_cache_lock);
    ac_cache_stats[AC_STAT_STAT_TOO_BIG] += extra;
    uint64_t want = ac_cache_stats[AC_STAT_STAT_TOO_BIG];
    pthread_mutex_unlock(&vava_cache_lock);

    lua_State* L = luaL_newstate();
    ASSERT_NE(L, nullptr);
    lua_pushcfunction(L, l_CacheStats);
    ASSERT_EQ(lua_pcall(L, 0, LUA_MULTRET, 0), LUA_OK);
    ASSERT_EQ(lua_gettop(L), 1);
    ASSERT_TRUE(lua_istable(L, 1));
    int keys = 0;
    lua_pushnil(L);
    while (lua_next(L, 1)) {
        keys++;
        EXPECT_EQ(lua_type(L, -1), LUA_TNUMBER);
        lua_pop(L, 1);
    }
    EXPECT_EQ(keys, 15);
    lua_getfield(L, 1, "stat_too_big");
    EXPECT_EQ((uint64_t)lua_tonumber(L, -1), want & 0xFFFFFFFFull);
    lua_close(L);

    pthread_mutex_lock(&vava_cache_lock);
    ac_cache_stats[AC_STAT_STAT_TOO_BIG] -= extra;
    pthread_mutex_unlock(&vava_cache_lock);
}

// Paths for each thread, every one in a slot of its own.
std::vector<std::vector<std::string>> distinct_slot_paths(int threads, int per_thread, const std::string& tag)
{
    std::vector<bool> used(AC_CACHE_SLOTS, false);
    std::vector<std::vector<std::string>> out(threads);
    int n = 0;
    for (int t = 0; t < threads; t++)
        while ((int)out[t].size() < per_thread) {
            std::string p = "/mt/" + tag + "/t" + std::to_string(t) + "/f" + std::to_string(n++);
            uint32_t s = slot_of(p);
            if (used[s]) continue;
            used[s] = true;
            out[t].push_back(p);
        }
    return out;
}

std::string ruleset_for(int t, int i) { return "ruleset-" + std::to_string(t + 1) + "-" + std::to_string(i) + "-7-8"; }

TEST_F(ObjectCache, ConcurrentStoresLookupsAndRemovesLoseNoEntry)
{
    constexpr int kThreads = 4, kPaths = 400, kRounds = 20;
    auto paths = distinct_slot_paths(kThreads, kPaths, "own");
    const std::string real = make_file("real", 4321, 0755);
    Stats before = snap();
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};

    auto worker = [&](int t) {
        const auto& mine = paths[t];
        for (int round = 0; round < kRounds; round++) {
            for (int i = 0; i < kPaths; i++) {
                int32_t type = i % 4;  // 0 is stored as approved
                std::string rs = ruleset_for(t, i);
                if (AddToCache(mine[i].c_str(), type, rs.c_str()) != 1) failures++;
            }
            for (int i = 0; i < kPaths; i++) {
                Lookup r = lookup(mine[i]);
                int32_t want = i % 4 == 0 ? 1 : i % 4;
                if (r.rc != 1 || r.type != want) failures++;
                if (r.ruleset != (want == 3 ? ruleset_for(t, i) : "")) failures++;
            }
            for (int i = 0; i < kPaths; i += 2)
                if (RemoveFromCache(mine[i].c_str()) != 1) failures++;
            for (int i = 0; i < kPaths; i++) {
                int32_t type = -7;
                if (IsCached(mine[i].c_str(), &type, nullptr, nullptr, nullptr) != 1) failures++;
                if ((i % 2 == 0) != (type == 0)) failures++;
            }
        }
        for (int i = 0; i < kPaths; i += 2) AddToCache(mine[i].c_str(), i % 4, ruleset_for(t, i).c_str());
    };
    // Beside the workers: lookups that read file status, statistics and a
    // reader of the raw table under the lock, as the dump does.
    auto observer = [&] {
        uint64_t bytes = 0;
        while (!done.load()) {
            Lookup r = lookup(real);
            if (r.rc != 1 || r.size != 4321 || r.isexec != 1) failures++;
            Stats s = snap();
            if (s[AC_STAT_REMOVEFAIL] != 0) failures++;
            pthread_mutex_lock(&vava_cache_lock);
            const ac_cache_entry* table = getAcCache();
            for (size_t i = 0; i < AC_CACHE_SLOTS; i += 97) bytes += table[i].cache_type;
            pthread_mutex_unlock(&vava_cache_lock);
        }
        (void)bytes;
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
            ASSERT_EQ(r.type, i % 4 == 0 ? 1 : i % 4) << paths[t][i];
            ASSERT_EQ(r.ruleset, i % 4 == 3 ? ruleset_for(t, i) : "") << paths[t][i];
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

TEST_F(ObjectCache, EveryOperationAtOnceKeepsCountersConsistent)
{
    constexpr int kThreads = 4, kIters = 40000;
    // Shared paths: the threads fight over the same objects and slots.
    auto [ca, cb] = find_collision("/mt/shared/collide-");
    std::vector<std::string> shared = {ca, cb};
    for (int i = 0; i < 30; i++) shared.push_back("/mt/shared/p" + std::to_string(i));
    const std::string real = make_file("real", 77, 0644);
    shared.push_back(real);
    Stats before = snap();
    std::atomic<uint64_t> adds{0}, lookups{0}, removes{0}, clears{0}, stats_calls{0};
    std::atomic<int> failures{0};

    auto worker = [&](int t) {
        unsigned seed = 12345u + (unsigned)t;
        for (int i = 0; i < kIters; i++) {
            seed = seed * 1103515245u + 12345u;
            const std::string& p = shared[(seed >> 8) % shared.size()];
            switch ((seed >> 20) % 8) {
            case 0:
            case 1:
            case 2:
                if (AddToCache(p.c_str(), (int32_t)((seed >> 4) % 5), "ruleset-1-2-3-4") != 1) failures++;
                adds++;
                break;
            case 3:
            case 4: {
                Lookup r = lookup(p);
                if (r.rc != 1 && r.rc != -2) failures++;
                if (r.type < 0 || r.type > 3) failures++;
                if (r.type == 3 && r.ruleset != "ruleset-1-2-3-4") failures++;
                lookups++;
                break;
            }
            case 5: {
                int rc = RemoveFromCache(p.c_str());
                if (rc != 0 && rc != 1) failures++;
                removes++;
                break;
            }
            case 6:
                if (i % 50 == 0) {
                    EXPECT_EQ(ClearCache(), 1);
                    clears++;
                } else {
                    snap();
                    stats_calls++;
                }
                break;
            default: {
                pthread_mutex_lock(&vava_cache_lock);
                uint32_t t3 = getAcCache()[slot_of(p)].cache_type;
                pthread_mutex_unlock(&vava_cache_lock);
                if (t3 > 3) failures++;
            }
            }
        }
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++) ts.emplace_back(worker, t);
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);

    Stats after = snap();
    auto d = [&](ac_cache_stat k) { return after[k] - before[k]; };
    EXPECT_EQ(d(AC_STAT_ADD_APPROVED) + d(AC_STAT_ADD_UNRECOGNIZED) + d(AC_STAT_ADD_BLOCK), adds.load());
    EXPECT_EQ(d(AC_STAT_HIT_APPROVED) + d(AC_STAT_HIT_UNRECOGNIZED) + d(AC_STAT_HIT_BLOCK) + d(AC_STAT_MISS),
              lookups.load());
    EXPECT_EQ(d(AC_STAT_REMOVEHIT) + d(AC_STAT_REMOVEMISS), removes.load());
    EXPECT_EQ(d(AC_STAT_CLEAR), clears.load());
    EXPECT_EQ(d(AC_STAT_REMOVEFAIL), 0u);
    EXPECT_LE(d(AC_STAT_STAT_FAIL), d(AC_STAT_MISS));

    // Whatever is left is consistent: each occupied slot holds a shared path.
    ClearCache();
    for (const std::string& p : shared) EXPECT_EQ(lookup(p).type, 0);
}

}  // namespace
