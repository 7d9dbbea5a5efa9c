// Drift tracker: the (process id, descriptor) pairs that currently hold a file
// open for writing, in a fixed ring of 64 entries under one lock.
//
// The table `drift` is process-wide, zero at load, and is dumped byte for byte
// (entry "drift", 1704 bytes), so its layout is fixed below. Every operation
// takes `drift_lock` itself. Code outside this file that reads the table (the
// fresh filter builder, the dump) takes `drift_lock` and uses the small
// accessors at the end of this header while holding it.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <cstdint>

constexpr uint32_t DRIFT_RING_SIZE = 64;               // entries in the ring
constexpr uint64_t DRIFT_RING_MASK = DRIFT_RING_SIZE - 1;
constexpr uint32_t DRIFT_SCAN_ENOUGH = 32;             // a scan freeing this many sets no cooldown
constexpr int64_t DRIFT_COOLDOWN_SECONDS = 60;         // pause between dead-process scans
constexpr uint64_t DRIFT_DIRT_LIMIT = 256;             // untracked closes before a fresh filter
constexpr size_t DRIFT_NAME_BUFFER = 4096;             // link read size of a name capture
constexpr size_t DRIFT_EXCLUDE_COUNT = 10;

// Counters, in table order; DriftStats reports each under the name in
// drift_counter_names.
enum drift_counter : int {
    DRIFT_track = 0,     // an entry was added to the ring
    DRIFT_open,          // DriftOpen was called
    DRIFT_overflow,      // the ring was full and its oldest entry was dropped
    DRIFT_losttrack,     // an entry was released because its process is gone
    DRIFT_lostcheck,     // a dead-process scan was made
    DRIFT_found,         // a close or dup found and released the tracked entry
    DRIFT_notfound,      // a close found no tracked entry
    DRIFT_dirt,          // same as notfound; reset by each fresh filter
    DRIFT_newfilter,     // a fresh filter was built
    DRIFT_condfound,     // a conditional open found the pair tracked
    DRIFT_condopen,      // a conditional open added the pair
    DRIFT_dup,           // a dup added the new descriptor
    DRIFT_dupmiss,       // a dup, or a dup pre-check, found nothing to do
    DRIFT_dupname,       // a dup pre-check captured a name
    DRIFT_dupnamefail,   // the captured name could not be read
    DRIFT_dupnamemiss,   // a dup pre-check did not find the new descriptor
    DRIFT_dupnamenomem,  // no buffer for the name
    DRIFT_iterations,    // entries examined by searches
    DRIFT_COUNTER_COUNT
};

// One ring entry, 24 bytes.
struct drift_entry {
    uint32_t pid;      // 0
    int32_t fd;        // 4
    char* name;        // 8: captured file name, owned by the entry; null when none
    int32_t name_len;  // 16: length of name (no terminating NUL); -1 when none
    uint32_t spare;    // 20: never written by the tracker
};

// The whole table, 1704 bytes. The natural layout has no padding; the
// assertions below pin every offset so the dump can write it as it is.
struct drift_table {
    uint64_t counters[DRIFT_COUNTER_COUNT];  // 0
    int64_t cooldown;                        // 144: no dead-process scan until this time
    uint64_t tail;                           // 152: index of the oldest live entry
    uint64_t head;                           // 160: index of the next entry to fill
    drift_entry ring[DRIFT_RING_SIZE];       // 168: entry of index i in slot i & 63
};

static_assert(sizeof(drift_entry) == 24, "drift entry size");
static_assert(offsetof(drift_entry, pid) == 0, "entry pid offset");
static_assert(offsetof(drift_entry, fd) == 4, "entry fd offset");
static_assert(offsetof(drift_entry, name) == 8, "entry name offset");
static_assert(offsetof(drift_entry, name_len) == 16, "entry name length offset");
static_assert(offsetof(drift_entry, spare) == 20, "entry spare offset");
static_assert(sizeof(drift_table) == 1704, "drift table size");
static_assert(offsetof(drift_table, counters) == 0, "counters offset");
static_assert(offsetof(drift_table, cooldown) == 144, "cooldown offset");
static_assert(offsetof(drift_table, tail) == 152, "tail offset");
static_assert(offsetof(drift_table, head) == 160, "head offset");
static_assert(offsetof(drift_table, ring) == 168, "ring offset");

extern "C" {

extern drift_table drift;           // guarded by drift_lock
extern pthread_mutex_t drift_lock;  // default attributes, statically initialised
extern const char* const drift_counter_names[DRIFT_COUNTER_COUNT];
extern const char* const drift_excludes[DRIFT_EXCLUDE_COUNT];

// The documented operations. Each takes drift_lock for its whole duration
// (a name capture drops it only around the allocation of the name buffer).
int DriftOpen(uint32_t pid, int32_t fd);  // 0; always adds an entry
int DriftClose(uint32_t pid, int32_t fd, uint32_t* isDrift, uint32_t* newFilter);  // 1
int DriftDupTrackPossibleClose(uint32_t pid, int32_t oldfd, int32_t fd);           // 1 or 0
// name: output of at least AC_PATH_MAX (4096) zeroed bytes, or null; receives
// the captured bytes (at most 4095, so a NUL always follows) without a NUL.
int DriftDup(uint32_t pid, int32_t oldfd, int32_t newfd, char* name);  // 1 or 0
drift_table* getDriftData(void);  // the table, for the dump (which takes drift_lock)

// Operations offered to Lua only; the Lua functions use
// them and tests may call them directly.
void DriftCondOpen(uint32_t pid, int32_t fd);
void DriftClear(void);

// DriftDup's capture into out (cap bytes, no NUL added); *out_len is the
// length captured, or -1 when there was no name.
int DriftDupName(uint32_t pid, int32_t oldfd, int32_t newfd, char* out, size_t cap, int32_t* out_len);
// A consistent copy of the counters and the ring's position.
void DriftStatsSnapshot(uint64_t counters[DRIFT_COUNTER_COUNT], int64_t* cooldown, uint64_t* head,
                        uint64_t* tail);

}  // extern "C"

// Accessors for code that holds drift_lock (the fresh filter builder of the
// quick-filter part, the dump, tests). None of them takes the lock.

// Number of live entries, 0 to 64.
inline uint64_t drift_live_count_locked(void) { return drift.head - drift.tail; }

// The n-th live entry, counted from the oldest (n < drift_live_count_locked()).
inline const drift_entry* drift_live_entry_locked(uint64_t n)
{
    return &drift.ring[(drift.tail + n) & DRIFT_RING_MASK];
}

// Calls fn(entry) for every live entry, oldest first.
template <typename Fn>
inline void drift_for_each_live_locked(Fn&& fn)
{
    for (uint64_t i = drift.tail; i != drift.head; i++) fn(drift.ring[i & DRIFT_RING_MASK]);
}

// What building a fresh filter does to the counters: counts "newfilter" and
// sets "dirt" back to 0.
inline void drift_note_fresh_filter_locked(void)
{
    drift.counters[DRIFT_newfilter]++;
    drift.counters[DRIFT_dirt] = 0;
}

// Scoped drift_lock for C++ code that cannot raise a Lua error while holding it.
class drift_lock_guard {
public:
    drift_lock_guard() { pthread_mutex_lock(&drift_lock); }
    ~drift_lock_guard() { pthread_mutex_unlock(&drift_lock); }
    drift_lock_guard(const drift_lock_guard&) = delete;
    drift_lock_guard& operator=(const drift_lock_guard&) = delete;
};
