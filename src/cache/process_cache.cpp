#include "cache/process_cache.h"

#include <cstring>

namespace {

struct cache_lock {
    cache_lock() { pthread_mutex_lock(&ProcessCacheLockCS); }
    ~cache_lock() { pthread_mutex_unlock(&ProcessCacheLockCS); }
    cache_lock(const cache_lock&) = delete;
    cache_lock& operator=(const cache_lock&) = delete;
};

ac_proc_entry& slot_of(uint64_t pid) { return processes[pid & AC_PROC_SLOT_MASK]; }

}  // namespace

extern "C" {

ac_proc_entry processes[AC_PROC_SLOTS];
uint64_t ac_proc_stats[AC_PROC_STAT_COUNT];
pthread_mutex_t ProcessCacheLockCS = PTHREAD_MUTEX_INITIALIZER;

int AddProcess(uint64_t pid, uint64_t type, const char* name)
{
    cache_lock lock;
    ac_proc_entry& e = slot_of(pid);
    if (e.pid == pid) ac_proc_stats[AC_PROC_CHANGE]++;
    e.pid = pid;
    e.type = type;
    memcpy(e.name, name, AC_PROC_NAME);
    ac_proc_stats[AC_PROC_ADD]++;
    return 1;
}

// The pid only chooses the slot; the name decides. The comparison stays within
// the 16-byte field, so a name of 16 bytes or more hits on its first 16 bytes.
uint64_t GetProcess(uint64_t pid, const char* name)
{
    if (pid == 0) return 0;
    cache_lock lock;
    const ac_proc_entry& e = slot_of(pid);
    if (strncmp(e.name, name, AC_PROC_NAME) == 0) {
        ac_proc_stats[AC_PROC_HIT]++;
        return e.type;
    }
    ac_proc_stats[AC_PROC_MISS]++;
    return 0;
}

int RemoveProcess(int64_t pid)
{
    cache_lock lock;
    ac_proc_entry& e = slot_of((uint64_t)pid);
    if (e.pid == (uint64_t)pid) {
        e = ac_proc_entry{};
        ac_proc_stats[AC_PROC_REMOVE_HIT]++;
        return 1;
    }
    ac_proc_stats[AC_PROC_REMOVE_MISS]++;
    return 0;
}

int ClearProcessCache(void)
{
    cache_lock lock;
    ac_proc_stats[AC_PROC_CLEAR]++;
    memset(processes, 0, sizeof processes);
    return 1;
}

void ProcCacheStats(uint64_t stats[AC_PROC_STAT_COUNT])
{
    cache_lock lock;
    memcpy(stats, ac_proc_stats, sizeof ac_proc_stats);
}

}  // extern "C"
