// Object cache: one process-wide, direct-mapped table of verdicts keyed by the
// SHA-256 of a file's path text. Nothing is allocated per call; a
// store evicts whatever object shared its slot.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <cstdint>

// The 32-byte SHA-256 digest of a path text.
struct ac_objectid {
    unsigned char bytes[32];
};

enum ac_cache_type : uint32_t {
    AC_CACHE_NONE = 0,
    AC_CACHE_APPROVED = 1,
    AC_CACHE_UNRECOGNIZED = 2,
    AC_CACHE_BLOCK = 3,
};

// One slot. The table is dumped byte for byte (entry "exec_cache"), so this
// layout is a file format: 44 bytes, no padding, little-endian integers.
struct ac_cache_entry {
    ac_objectid objectid;  // all zero in an empty slot
    int16_t ruleset[4];    // numbers of the rule set that blocked the object; all zero: none
    uint32_t cache_type;   // ac_cache_type
};

static_assert(sizeof(ac_objectid) == 32, "ac_objectid is 32 bytes");
static_assert(sizeof(ac_cache_entry) == 44, "a cache slot is 44 bytes");
static_assert(offsetof(ac_cache_entry, objectid) == 0, "objectid at offset 0");
static_assert(offsetof(ac_cache_entry, ruleset) == 32, "ruleset at offset 32");
static_assert(offsetof(ac_cache_entry, cache_type) == 40, "cache_type at offset 40");

constexpr size_t AC_CACHE_SLOTS = 65536;
constexpr size_t AC_CACHE_BYTES = AC_CACHE_SLOTS * sizeof(ac_cache_entry);
static_assert(AC_CACHE_BYTES == 2883584, "the table is 2,883,584 bytes");

// A missed object is eligible for evaluation when it is a regular file of
// 1 to AC_CACHE_MAX_FILE_SIZE - 1 bytes.
constexpr uint64_t AC_CACHE_MAX_FILE_SIZE = 104857600;  // 100 MiB: too big

// Results of the cache operations (RemoveFromCache also answers
// AC_CACHE_NOT_FOUND).
enum ac_cache_result : int {
    AC_CACHE_DONE = 1,
    AC_CACHE_NOT_FOUND = 0,
    AC_CACHE_HASH_FAILED = -1,
    AC_CACHE_NOT_EVALUABLE = -2,
};

// Size of the ruleset text buffer that IsCached writes ("ruleset-%d-%d-%d-%d").
constexpr size_t AC_RULESET_TEXT_MAX = 4096;

// The fifteen counters, in dump and report order.
enum ac_cache_stat {
    AC_STAT_CLEAR,
    AC_STAT_ADD_APPROVED,
    AC_STAT_ADD_UNRECOGNIZED,
    AC_STAT_ADD_BLOCK,
    AC_STAT_REMOVEHIT,
    AC_STAT_REMOVEMISS,
    AC_STAT_REMOVEFAIL,  // never counted
    AC_STAT_HIT_APPROVED,
    AC_STAT_HIT_UNRECOGNIZED,
    AC_STAT_HIT_BLOCK,
    AC_STAT_MISS,
    AC_STAT_STAT_FAIL,
    AC_STAT_STAT_SIZE_ZERO,
    AC_STAT_STAT_NOT_FILE,
    AC_STAT_STAT_TOO_BIG,
    AC_CACHE_STAT_COUNT
};
static_assert(AC_CACHE_STAT_COUNT == 15, "fifteen counters");

extern "C" {

// The table, its counters and the lock that guards both (statically initialised).
extern ac_cache_entry ac_cache[AC_CACHE_SLOTS];
extern uint64_t ac_cache_stats[AC_CACHE_STAT_COUNT];
extern pthread_mutex_t vava_cache_lock;
// Lua keys of the counters, in counter order.
extern const char* const ac_cache_stat_names[AC_CACHE_STAT_COUNT];

// True (1) when all 32 bytes are equal, compared as four 64-bit words.
int ac_objectid_equal(const ac_objectid* a, const ac_objectid* b);
// Slot index: ((sign-extended d0) << 8) XOR (sign-extended d1), low 16 bits.
uint32_t ac_objectid_hash(const ac_objectid* id);

// SHA-256 of the text before its NUL, written to out (at least 32 bytes).
// Returns the digest length; below 32 is a failure.
int HashString(const char* text, unsigned char* out);

// 1 stored; -1 hashing failed.
int AddToCache(const char* path, int32_t type, const char* ruleset);
// 1 lookup done; -1 hashing failed (no output written); -2 miss and the file
// is not eligible. size and isexec may be null (then a miss returns 1 with no
// file status read). ruleset: a zero-filled buffer of AC_RULESET_TEXT_MAX bytes.
int IsCached(const char* path, int32_t* cache_type, char* ruleset, uint64_t* size, uint32_t* isexec);
// 1 removed; 0 not present; -1 hashing failed.
int RemoveFromCache(const char* path);
// Empties the table; returns 1.
int ClearCache(void);
// Copies the fifteen counters under the lock.
void CacheStats(uint64_t* out);
// Start of the table, for the dump, which holds vava_cache_lock while it reads.
ac_cache_entry* getAcCache(void);

}
