// Drift tracker: ring of the (pid, descriptor) pairs open for writing, dup
// following with captured names, the dead-process scan, counters and the Lua
// functions.
#include "cache/drift.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cache/proc_info.h"

extern "C" {

drift_table drift;
pthread_mutex_t drift_lock = PTHREAD_MUTEX_INITIALIZER;

const char* const drift_counter_names[DRIFT_COUNTER_COUNT] = {
    "track",   "open",     "overflow", "losttrack", "lostcheck",   "found",
    "notfound", "dirt",    "newfilter", "condfound", "condopen",   "dup",
    "dupmiss", "dupname",  "dupnamefail", "dupnamemiss", "dupnamenomem", "iterations",
};

const char* const drift_excludes[DRIFT_EXCLUDE_COUNT] = {
    "/dev/null",
    "/tmp/",
    "/var/opt/vy_agent",
    "/yarn/nodemanager/usercache",
    "/apps/ecp/inventory/scripts",
    "/var/spool/postfix",
    "/opt/zenoss/var/zeneventserver/index",
    "/etc/.kerberoscache",
    "/PreConfigActions/logs",
    "/var/log/zabbix",
};

}  // extern "C"

namespace {

constexpr uint64_t NOT_FOUND = ~(uint64_t)0;

// Name buffers released while drift_lock is held; freed once it is released.
// One operation releases at most the whole ring (a scan) plus one entry.
struct deferred_free {
    char* ptr[DRIFT_RING_SIZE + 2];
    unsigned count = 0;

    void add(char* p)
    {
        if (!p) return;
        if (count == sizeof ptr / sizeof ptr[0]) {  // cannot happen; stay correct anyway
            free(p);
            return;
        }
        ptr[count++] = p;
    }
    void run()
    {
        for (unsigned i = 0; i < count; i++) free(ptr[i]);
        count = 0;
    }
};

inline void count(drift_counter c, uint64_t n = 1) { drift.counters[c] += n; }
inline bool ring_empty() { return drift.head == drift.tail; }
inline drift_entry& at(uint64_t index) { return drift.ring[index & DRIFT_RING_MASK]; }

// Linear search from the oldest entry; adds the entries examined before the
// match (all live entries when there is none) to "iterations".
uint64_t search(uint32_t pid, int32_t fd)
{
    const uint64_t start = drift.tail;
    for (uint64_t i = start; i != drift.head; i++) {
        const drift_entry& e = at(i);
        if (e.pid == pid && e.fd == fd) {
            count(DRIFT_iterations, i - start);
            return i;
        }
    }
    count(DRIFT_iterations, drift.head - start);
    return NOT_FOUND;
}

// Same search without counting, for the second look of a name capture.
uint64_t find_quiet(uint32_t pid, int32_t fd)
{
    for (uint64_t i = drift.tail; i != drift.head; i++) {
        const drift_entry& e = at(i);
        if (e.pid == pid && e.fd == fd) return i;
    }
    return NOT_FOUND;
}

// Releases the live entry of this index: its name goes to `dead`, the oldest
// entry moves into its slot, the tail advances.
void release(uint64_t index, deferred_free& dead)
{
    drift_entry& e = at(index);
    dead.add(e.name);
    e.name = nullptr;
    drift_entry& oldest = at(drift.tail);
    if (&e != &oldest) e = oldest;  // all 24 bytes
    drift.tail++;
}

// A full ring makes room first: a dead-process scan when no cooldown is
// running, else (or when the scan freed nothing) the oldest entry is dropped.
void make_room(deferred_free& dead)
{
    if (drift.head - drift.tail < DRIFT_RING_SIZE) return;
    const int64_t now = (int64_t)time(nullptr);
    if (drift.cooldown >= now) {
        release(drift.tail, dead);
        count(DRIFT_overflow);
        return;
    }
    uint32_t released = 0;
    for (uint64_t i = drift.tail; i != drift.head; i++) {
        // Entries below i are alive; releasing i moves one of them into its slot.
        if (IsProcessAlive(at(i).pid)) {  // true when the process has gone
            release(i, dead);
            count(DRIFT_losttrack);
            released++;
        }
    }
    count(DRIFT_lostcheck);
    if (released >= DRIFT_SCAN_ENOUGH) return;
    drift.cooldown = now + DRIFT_COOLDOWN_SECONDS;
    if (released == 0) {
        release(drift.tail, dead);
        count(DRIFT_overflow);
    }
}

void add(uint32_t pid, int32_t fd, deferred_free& dead)
{
    make_room(dead);
    drift_entry& e = at(drift.head);
    e.pid = pid;
    e.fd = fd;
    e.name = nullptr;
    e.name_len = -1;
    drift.head++;
    count(DRIFT_track);
}

// The dup post-event. Copies at most `cap` bytes of a released entry's name
// into `out` and sets *out_len to the copied length (-1 when no name).
int dup_locked(uint32_t pid, int32_t oldfd, int32_t newfd, char* out, size_t cap,
               int32_t* out_len, deferred_free& dead)
{
    *out_len = -1;
    if (ring_empty()) {
        count(DRIFT_dupmiss);
        return 0;
    }
    uint64_t i = search(pid, newfd);
    if (i != NOT_FOUND) {
        const drift_entry& e = at(i);
        if (e.name && e.name_len >= 0) {
            size_t n = (size_t)e.name_len < cap ? (size_t)e.name_len : cap;
            if (out) memcpy(out, e.name, n);
            *out_len = (int32_t)n;
        }
        release(i, dead);
        count(DRIFT_found);
        if (ring_empty()) {
            count(DRIFT_dupmiss);
            return 0;
        }
    }
    if (search(pid, oldfd) != NOT_FOUND) {
        add(pid, newfd, dead);
        count(DRIFT_dup);
        return 1;
    }
    count(DRIFT_dupmiss);
    return 0;
}

}  // namespace

extern "C" {

int DriftOpen(uint32_t pid, int32_t fd)
{
    deferred_free dead;
    pthread_mutex_lock(&drift_lock);
    count(DRIFT_open);
    add(pid, fd, dead);
    pthread_mutex_unlock(&drift_lock);
    dead.run();
    return 0;
}

void DriftCondOpen(uint32_t pid, int32_t fd)
{
    deferred_free dead;
    pthread_mutex_lock(&drift_lock);
    if (search(pid, fd) != NOT_FOUND) {
        count(DRIFT_condfound);
    } else {
        count(DRIFT_condopen);
        add(pid, fd, dead);
    }
    pthread_mutex_unlock(&drift_lock);
    dead.run();
}

int DriftClose(uint32_t pid, int32_t fd, uint32_t* isDrift, uint32_t* newFilter)
{
    deferred_free dead;
    uint32_t is_drift = 0, new_filter = 0;
    pthread_mutex_lock(&drift_lock);
    uint64_t i = search(pid, fd);
    if (i != NOT_FOUND) {
        release(i, dead);
        count(DRIFT_found);
        is_drift = 1;
    } else {
        count(DRIFT_notfound);
        count(DRIFT_dirt);
        new_filter = drift.counters[DRIFT_dirt] > DRIFT_DIRT_LIMIT ? 1 : 0;
    }
    pthread_mutex_unlock(&drift_lock);
    dead.run();
    if (isDrift) *isDrift = is_drift;
    if (newFilter) *newFilter = new_filter;
    return 1;
}

int DriftDupTrackPossibleClose(uint32_t pid, int32_t oldfd, int32_t fd)
{
    char target[DRIFT_NAME_BUFFER];
    long n;

    pthread_mutex_lock(&drift_lock);
    if (ring_empty()) {
        count(DRIFT_dupnamemiss);
        count(DRIFT_dupmiss);
        pthread_mutex_unlock(&drift_lock);
        return 0;
    }
    if (search(pid, fd) == NOT_FOUND) {
        count(DRIFT_dupnamemiss);
        int r = 1;
        if (search(pid, oldfd) == NOT_FOUND) {
            count(DRIFT_dupmiss);
            r = 0;
        }
        pthread_mutex_unlock(&drift_lock);
        return r;
    }
    // The new descriptor is tracked and the dup will close it: capture the
    // name of its file. The link is read under the lock; the buffer is
    // allocated outside it, and the entry looked up again to store it.
    n = GetFileNameFromPidAndFd((int32_t)pid, fd, target, sizeof target);
    if (n <= 0) {
        count(DRIFT_dupnamefail);
        pthread_mutex_unlock(&drift_lock);
        return 1;
    }
    pthread_mutex_unlock(&drift_lock);

    char* name = static_cast<char*>(malloc((size_t)n));
    if (name) memcpy(name, target, (size_t)n);

    char* dead = nullptr;
    pthread_mutex_lock(&drift_lock);
    if (!name) {
        count(DRIFT_dupnamenomem);
    } else {
        uint64_t i = find_quiet(pid, fd);
        if (i != NOT_FOUND) {
            drift_entry& e = at(i);
            dead = e.name;  // a name captured before is replaced
            e.name = name;
            e.name_len = (int32_t)n;
            count(DRIFT_dupname);
        } else {
            // Released by another thread in the meantime: the name has no owner.
            dead = name;
            count(DRIFT_dupnamefail);
        }
    }
    pthread_mutex_unlock(&drift_lock);
    free(dead);
    return 1;
}

int DriftDup(uint32_t pid, int32_t oldfd, int32_t newfd, char* name)
{
    deferred_free dead;
    int32_t len;
    pthread_mutex_lock(&drift_lock);
    int r = dup_locked(pid, oldfd, newfd, name, DRIFT_NAME_BUFFER - 1, &len, dead);
    pthread_mutex_unlock(&drift_lock);
    dead.run();
    return r;
}

void DriftClear(void)
{
    deferred_free dead;
    pthread_mutex_lock(&drift_lock);
    for (uint64_t i = drift.tail; i != drift.head; i++) {
        dead.add(at(i).name);
        at(i).name = nullptr;
    }
    memset(drift.counters, 0, sizeof drift.counters);
    drift.cooldown = 0;
    drift.tail = 0;
    drift.head = 0;
    pthread_mutex_unlock(&drift_lock);
    dead.run();
}

drift_table* getDriftData(void) { return &drift; }

int DriftDupName(uint32_t pid, int32_t oldfd, int32_t newfd, char* out, size_t cap, int32_t* out_len)
{
    deferred_free dead;
    pthread_mutex_lock(&drift_lock);
    int r = dup_locked(pid, oldfd, newfd, out, cap, out_len, dead);
    pthread_mutex_unlock(&drift_lock);
    dead.run();
    return r;
}

void DriftStatsSnapshot(uint64_t counters[DRIFT_COUNTER_COUNT], int64_t* cooldown, uint64_t* head,
                        uint64_t* tail)
{
    pthread_mutex_lock(&drift_lock);
    memcpy(counters, drift.counters, sizeof drift.counters);
    *cooldown = drift.cooldown;
    *head = drift.head;
    *tail = drift.tail;
    pthread_mutex_unlock(&drift_lock);
}

}  // extern "C"
