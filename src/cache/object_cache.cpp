// Object cache: a static direct-mapped table of verdicts keyed by
// the SHA-256 of the path text, its counters, and the Lua functions of the
// driver-channel module over it. Hashing and stat run outside vava_cache_lock;
// comparing, writing slots and counting run under it. Nothing is allocated by
// this file on any path; the table is a static array.
#include "cache/object_cache.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cache/sha256.h"

extern "C" {

ac_cache_entry ac_cache[AC_CACHE_SLOTS];
uint64_t ac_cache_stats[AC_CACHE_STAT_COUNT];
pthread_mutex_t vava_cache_lock = PTHREAD_MUTEX_INITIALIZER;

const char* const ac_cache_stat_names[AC_CACHE_STAT_COUNT] = {
    "clear",     "add_approved",     "add_unrecognized", "add_block", "removehit",
    "removemiss", "removefail",      "hit_approved",     "hit_unrecognized", "hit_block",
    "miss",      "stat_fail",        "stat_size_zero",   "stat_not_file", "stat_too_big",
};

}  // extern "C"

namespace {

inline uint64_t load_word(const unsigned char* p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);  // slots are only 4-byte aligned
    return w;
}

inline void count(ac_cache_stat which) { ac_cache_stats[which]++; }  // caller holds the lock

inline ac_cache_entry& slot_of(const ac_objectid& id) { return ac_cache[ac_objectid_hash(&id)]; }

// Digests the path into id; false on a hashing failure (length below 32).
inline bool digest(const char* path, ac_objectid& id) { return HashString(path, id.bytes) >= 32; }

// Scans "ruleset-A-B-C-D"; true with the four numbers truncated to 16 bits
// when all four fields are present.
bool scan_ruleset(const char* text, int16_t out[4])
{
    char field[4][512];
    if (sscanf(text, "ruleset-%511[^-]-%511[^-]-%511[^-]-%511s", field[0], field[1], field[2], field[3]) != 4)
        return false;
    for (int i = 0; i < 4; i++) {
        long v = strtol(field[i], nullptr, 10);
        out[i] = (int16_t)(uint16_t)(unsigned long)v;  // keep the low 16 bits
    }
    return true;
}

// Eligibility of a missed object by its file status. Returns 1 with size and
// isexec written, or -2 after counting why it is not evaluable.
int check_eligible(const char* path, uint64_t* size, uint32_t* isexec)
{
    struct stat st;
    ac_cache_stat why;
    if (stat(path, &st) != 0) {
        why = AC_STAT_STAT_FAIL;
    } else if (S_ISREG(st.st_mode) && st.st_size >= 1 && (uint64_t)st.st_size < AC_CACHE_MAX_FILE_SIZE) {
        *size = (uint64_t)st.st_size;
        *isexec = (st.st_mode & 0111) ? 1 : 0;
        return AC_CACHE_DONE;
    } else if (st.st_size == 0) {
        why = AC_STAT_STAT_SIZE_ZERO;
    } else if ((uint64_t)st.st_size < AC_CACHE_MAX_FILE_SIZE) {
        why = AC_STAT_STAT_NOT_FILE;
    } else {
        why = AC_STAT_STAT_TOO_BIG;
    }
    pthread_mutex_lock(&vava_cache_lock);
    count(why);
    pthread_mutex_unlock(&vava_cache_lock);
    return AC_CACHE_NOT_EVALUABLE;
}

}  // namespace

extern "C" {

int ac_objectid_equal(const ac_objectid* a, const ac_objectid* b)
{
    return load_word(a->bytes) == load_word(b->bytes) && load_word(a->bytes + 8) == load_word(b->bytes + 8) &&
           load_word(a->bytes + 16) == load_word(b->bytes + 16) &&
           load_word(a->bytes + 24) == load_word(b->bytes + 24);
}

uint32_t ac_objectid_hash(const ac_objectid* id)
{
    // Both bytes as signed 8-bit values, sign-extended; the shift is done on
    // the unsigned pattern, which gives the same low 16 bits.
    uint32_t d0 = (uint32_t)(int32_t)(int8_t)id->bytes[0];
    uint32_t d1 = (uint32_t)(int32_t)(int8_t)id->bytes[1];
    return ((d0 << 8) ^ d1) & 0xFFFFu;
}

int HashString(const char* text, unsigned char* out)
{
    if (!text || !out) return 0;
    return ac_sha256(text, strlen(text), out);
}

int AddToCache(const char* path, int32_t type, const char* ruleset)
{
    ac_objectid id;
    if (!digest(path, id)) return AC_CACHE_HASH_FAILED;
    int16_t numbers[4];
    bool scanned = type == AC_CACHE_BLOCK && ruleset && scan_ruleset(ruleset, numbers);

    ac_cache_entry& e = slot_of(id);
    pthread_mutex_lock(&vava_cache_lock);
    e.objectid = id;  // no occupancy test: a different object is evicted
    if (type == AC_CACHE_UNRECOGNIZED) {
        e.cache_type = AC_CACHE_UNRECOGNIZED;
        count(AC_STAT_ADD_UNRECOGNIZED);
    } else if (type == AC_CACHE_BLOCK) {
        e.cache_type = AC_CACHE_BLOCK;
        count(AC_STAT_ADD_BLOCK);
        if (scanned) memcpy(e.ruleset, numbers, sizeof numbers);
    } else {
        e.cache_type = AC_CACHE_APPROVED;
        count(AC_STAT_ADD_APPROVED);
    }
    pthread_mutex_unlock(&vava_cache_lock);
    return AC_CACHE_DONE;
}

int IsCached(const char* path, int32_t* cache_type, char* ruleset, uint64_t* size, uint32_t* isexec)
{
    ac_objectid id;
    if (!digest(path, id)) return AC_CACHE_HASH_FAILED;

    ac_cache_entry& e = slot_of(id);
    pthread_mutex_lock(&vava_cache_lock);
    uint32_t type = e.cache_type;
    if (type != AC_CACHE_NONE && ac_objectid_equal(&e.objectid, &id)) {
        int16_t numbers[4];
        memcpy(numbers, e.ruleset, sizeof numbers);
        if (type == AC_CACHE_APPROVED)
            count(AC_STAT_HIT_APPROVED);
        else if (type == AC_CACHE_UNRECOGNIZED)
            count(AC_STAT_HIT_UNRECOGNIZED);
        else if (type == AC_CACHE_BLOCK)
            count(AC_STAT_HIT_BLOCK);
        pthread_mutex_unlock(&vava_cache_lock);

        if (cache_type) *cache_type = (int32_t)type;
        if (type == AC_CACHE_BLOCK && ruleset && (numbers[0] | numbers[1] | numbers[2] | numbers[3]))
            snprintf(ruleset, AC_RULESET_TEXT_MAX, "ruleset-%d-%d-%d-%d", numbers[0], numbers[1], numbers[2],
                     numbers[3]);
        return AC_CACHE_DONE;
    }
    count(AC_STAT_MISS);
    pthread_mutex_unlock(&vava_cache_lock);

    if (cache_type) *cache_type = AC_CACHE_NONE;
    if (!size || !isexec) return AC_CACHE_DONE;
    return check_eligible(path, size, isexec);
}

int RemoveFromCache(const char* path)
{
    ac_objectid id;
    if (!digest(path, id)) return AC_CACHE_HASH_FAILED;

    ac_cache_entry& e = slot_of(id);
    int removed = AC_CACHE_NOT_FOUND;
    pthread_mutex_lock(&vava_cache_lock);
    if (ac_objectid_equal(&e.objectid, &id)) {  // the cache type is not looked at
        memset(&e, 0, sizeof e);
        count(AC_STAT_REMOVEHIT);
        removed = AC_CACHE_DONE;
    } else {
        count(AC_STAT_REMOVEMISS);
    }
    pthread_mutex_unlock(&vava_cache_lock);
    return removed;
}

int ClearCache(void)
{
    pthread_mutex_lock(&vava_cache_lock);
    count(AC_STAT_CLEAR);
    memset(ac_cache, 0, sizeof ac_cache);
    pthread_mutex_unlock(&vava_cache_lock);
    return AC_CACHE_DONE;
}

void CacheStats(uint64_t* out)
{
    pthread_mutex_lock(&vava_cache_lock);
    memcpy(out, ac_cache_stats, sizeof ac_cache_stats);
    pthread_mutex_unlock(&vava_cache_lock);
}

ac_cache_entry* getAcCache(void) { return ac_cache; }

}  // extern "C"
