// Object cache: slot index, eviction, the verdict and rule-set numbers kept in
// a slot, the file checks of a miss, and the exact counters. Slot bytes are
// shown by test_dumps.lua, callers in threads by mt_tables.lua.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cache/object_cache.h"
#include "unit_util.h"

namespace {

using Stats = std::array<uint64_t, AC_CACHE_STAT_COUNT>;
using Delta = std::vector<std::pair<int, uint64_t>>;  // {counter, change}, in counter order

Stats snap()
{
    Stats s{};
    return CacheStats(s.data()), s;
}

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

// A lookup with every output; size and isexec start at sentinels so that an untouched output shows.
constexpr uint64_t UNTOUCHED = 0xDEADBEEFull;
struct Lookup {
    int32_t type = -7;
    uint64_t size = UNTOUCHED;
    uint32_t isexec = 0xABCD;
    char ruleset[AC_RULESET_TEXT_MAX] = {};
    int rc;  // after the outputs, which it fills
    explicit Lookup(const std::string& path) : rc(IsCached(path.c_str(), &type, ruleset, &size, &isexec)) {}
};

// The cached type alone: a miss reads no file status.
int32_t type_of(const std::string& path)
{
    int32_t type = -7;
    EXPECT_EQ(IsCached(path.c_str(), &type, nullptr, nullptr, nullptr), 1);
    return type;
}

bool slot_is_zero(uint32_t slot)
{
    static const ac_cache_entry zero{};
    return memcmp(&getAcCache()[slot], &zero, sizeof zero) == 0;
}

class ObjectCache : public ::testing::Test {
protected:
    void SetUp() override { ClearCache(); }
    TempDir dir{"objcache"};
};

}  // namespace

TEST(ObjectCacheDigest, TextUpToItsNulAndTheSlotIndex)
{
    ac_objectid id{}, a = digest_of("abc"), b;
    EXPECT_EQ(HashString("abc\0def", id.bytes), 32);
    EXPECT_TRUE(ac_objectid_equal(&a, &id)) << "the text before its NUL";
    for (int at : {0, 7, 8, 15, 16, 23, 24, 31}) {
        b = a, b.bytes[at] ^= 0x01;
        EXPECT_FALSE(ac_objectid_equal(&a, &b)) << "byte " << at;
    }
    // ((sign-extended d0) << 8) ^ (sign-extended d1), low 16 bits; the rest does not matter.
    const unsigned idx[][3] = {{0x12, 0x34, 0x1234}, {0x12, 0x80, 0xED80}, {0x80, 0x00, 0x8000},
                               {0x80, 0x80, 0x7F80}, {0xFF, 0xFF, 0x00FF}, {0x00, 0xFF, 0xFFFF}};
    for (auto& c : idx) {
        memset(b.bytes, 0x5A, 32);
        b.bytes[0] = (unsigned char)c[0], b.bytes[1] = (unsigned char)c[1];
        EXPECT_EQ(ac_objectid_hash(&b), c[2]) << c[0] << "," << c[1];
    }
}

// A colliding path evicts the first; removal matches the identifier, so a
// slot of cache type 0 is no hit but is removable. The rule-set numbers live
// in the slot: a block stored without (valid) text keeps them, whichever
// object it is; removal and clearing zero them.
TEST_F(ObjectCache, SlotSharingEvictionAndRulesetNumbers)
{
    auto [a, b] = find_collision("/opt/collide/");
    const struct {
        const std::string& path;
        int32_t type;
        const char *text, *want;  // want: the ruleset a lookup of `path` gives afterwards
    } steps[] = {
        {a, 3, "ruleset-5-6-7-8", "ruleset-5-6-7-8"}, {a, 3, nullptr, "ruleset-5-6-7-8"},
        {a, 3, "ruleset-9-9-9", "ruleset-5-6-7-8"},  {a, 1, nullptr, ""},
        {a, 3, nullptr, "ruleset-5-6-7-8"},          {b, 2, nullptr, ""}, {b, 3, nullptr, "ruleset-5-6-7-8"},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(AddToCache(s.path.c_str(), s.type, s.text), 1);
        EXPECT_STREQ(Lookup(s.path).ruleset, s.want) << s.type << " " << (s.text ? s.text : "-");
    }
    Stats before = snap();
    EXPECT_EQ(type_of(a), 0);
    EXPECT_EQ(RemoveFromCache(a.c_str()), 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_REMOVEMISS, 1}, {AC_STAT_MISS, 1}}));
    EXPECT_EQ(RemoveFromCache(b.c_str()), 1);
    EXPECT_EQ(RemoveFromCache(b.c_str()), 0);
    EXPECT_TRUE(slot_is_zero(slot_of(b)));
    ASSERT_EQ(AddToCache(b.c_str(), 3, nullptr), 1);
    EXPECT_STREQ(Lookup(b).ruleset, "");
    getAcCache()[slot_of(b)].cache_type = 0;
    before = snap();
    EXPECT_EQ(type_of(b), 0);
    EXPECT_EQ(RemoveFromCache(b.c_str()), 1);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_REMOVEHIT, 1}, {AC_STAT_MISS, 1}}));
    AddToCache(b.c_str(), 3, "ruleset-1-1-1-1");
    before = snap();
    EXPECT_EQ(ClearCache(), 1);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_CLEAR, 1}}));
    for (uint32_t i = 0; i < AC_CACHE_SLOTS; i++) ASSERT_TRUE(slot_is_zero(i)) << "slot " << i;
}

// Stored verdicts: 2 and 3 as they are, everything else approved. A hit reads
// no file status and leaves size and isexec alone.
TEST_F(ObjectCache, TypeMappingAndCounters)
{
    const std::pair<int32_t, int32_t> cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 1}, {-1, 1}, {INT32_MIN, 1}};
    const ac_cache_stat add[] = {AC_STAT_ADD_APPROVED, AC_STAT_ADD_APPROVED, AC_STAT_ADD_UNRECOGNIZED,
                                 AC_STAT_ADD_BLOCK};
    const ac_cache_stat hit[] = {AC_STAT_HIT_APPROVED, AC_STAT_HIT_APPROVED, AC_STAT_HIT_UNRECOGNIZED,
                                 AC_STAT_HIT_BLOCK};
    for (auto [type, stored] : cases) {
        std::string p = "/usr/bin/type-" + std::to_string(type);
        Stats before = snap();
        ASSERT_EQ(AddToCache(p.c_str(), type, nullptr), 1);
        Lookup r(p);
        EXPECT_EQ(changed(before), (Delta{{add[stored], 1}, {hit[stored], 1}})) << type;
        EXPECT_EQ(r.rc * 10 + r.type, 10 + stored) << type;
        EXPECT_TRUE(r.size == UNTOUCHED && r.isexec == 0xABCD) << type;
    }
    // A null text cannot be hashed: -1, and nothing counted or written.
    Stats before = snap();
    EXPECT_EQ(AddToCache(nullptr, 3, "ruleset-1-2-3-4") + IsCached(nullptr, nullptr, nullptr, nullptr, nullptr) +
                  RemoveFromCache(nullptr), -3);
    EXPECT_EQ(changed(before), Delta{});
}

// A miss of a regular file of 1 to 104,857,599 bytes fills size and isexec
// (any x bit); anything else returns -2, counts why and leaves them alone.
TEST_F(ObjectCache, EligibilityBoundariesAndExecBits)
{
    constexpr ac_cache_stat ELIGIBLE = AC_CACHE_STAT_COUNT;
    auto sparse = [&](const char* name, off_t size, mode_t mode) {
        std::string path = dir.file(name, "", mode);
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        return path;
    };
    const std::string sub = dir / "sub", fifo = dir / "fifo", link = dir / "link", dangling = dir / "dangling";
    ASSERT_EQ(mkdir(sub.c_str(), 0755) | mkfifo(fifo.c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "below").c_str(), link.c_str()) | symlink("nowhere", dangling.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    const struct { std::string path; ac_cache_stat counter; uint64_t size; uint32_t isexec; } cases[] = {
        {sparse("m0644", 1234, 0644), ELIGIBLE, 1234, 0}, {sparse("m0710", 1234, 0710), ELIGIBLE, 1234, 1},
        {sparse("m0001", 1, 0001), ELIGIBLE, 1, 1}, {sparse("below", 104857599, 0644), ELIGIBLE, 104857599, 0},
        {link, ELIGIBLE, 104857599, 0},  // symbolic links are followed
        {sparse("at", 104857600, 0755), AC_STAT_STAT_TOO_BIG, UNTOUCHED, 0xABCD},
        {sparse("empty", 0, 0755), AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, 0xABCD},
        {fifo, AC_STAT_STAT_SIZE_ZERO, UNTOUCHED, 0xABCD},  // non-regular of size 0
        // A directory is "not a file" unless its file system reports size 0.
        {sub, st.st_size == 0 ? AC_STAT_STAT_SIZE_ZERO : AC_STAT_STAT_NOT_FILE, UNTOUCHED, 0xABCD},
        {dangling, AC_STAT_STAT_FAIL, UNTOUCHED, 0xABCD},
    };
    for (const auto& c : cases) {
        Stats before = snap();
        Lookup r(c.path);
        EXPECT_EQ(r.rc, c.counter == ELIGIBLE ? 1 : -2) << c.path;
        EXPECT_EQ(r.type, 0);
        EXPECT_EQ(r.size, c.size) << c.path;
        EXPECT_EQ(r.isexec, c.isexec) << c.path;
        Delta want{{AC_STAT_MISS, 1}};
        if (c.counter != ELIGIBLE) want.push_back({c.counter, 1});
        EXPECT_EQ(changed(before), want) << c.path;
    }
    // Without size or isexec output a miss reads no file status.
    Stats before = snap();
    EXPECT_EQ(type_of(dangling), 0);
    EXPECT_EQ(changed(before), (Delta{{AC_STAT_MISS, 1}}));
}
