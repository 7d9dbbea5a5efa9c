// The process cache: the process type index found for each process, in a
// direct-mapped table indexed by the low ten bits of the process id, so that a
// process is classified once. One lock guards the table and its counters.
#pragma once
#include <pthread.h>

#include <cstdint>

constexpr uint32_t AC_PROC_SLOTS = 1024;
constexpr uint64_t AC_PROC_SLOT_MASK = AC_PROC_SLOTS - 1;
constexpr size_t AC_PROC_NAME = 16;

struct ac_proc_entry {
    uint64_t pid;               // 0 when empty
    uint64_t type;              // process type index; 0 when empty
    char name[AC_PROC_NAME];    // executable file name, NUL-terminated only when shorter than 16
};

// Indexes of ac_proc_stats.
enum ac_proc_stat {
    AC_PROC_ADD,
    AC_PROC_CHANGE,
    AC_PROC_CLEAR,
    AC_PROC_REMOVE_HIT,
    AC_PROC_REMOVE_MISS,
    AC_PROC_HIT,
    AC_PROC_MISS,
    AC_PROC_STAT_COUNT,
};

extern "C" {
extern ac_proc_entry processes[AC_PROC_SLOTS];
extern uint64_t ac_proc_stats[AC_PROC_STAT_COUNT];
extern pthread_mutex_t ProcessCacheLockCS;

// name: at least 16 readable bytes; they are copied as one block.
int AddProcess(uint64_t pid, uint64_t type, const char* name);
uint64_t GetProcess(uint64_t pid, const char* name);
int RemoveProcess(int64_t pid);
int ClearProcessCache(void);
void ProcCacheStats(uint64_t stats[AC_PROC_STAT_COUNT]);
}
