// Kernel modules, the device node and device handles.
#pragma once
#include <atomic>
#include <cstdio>

#include "channel/handle.h"

#define LAC_DRIVER_MODULE "vava"
#define LAC_HOOK_MODULE "qnhook"
#define LAC_DEVICE_NODE "/dev/qnvyac"
#define LAC_PROC_DEVICES "/proc/devices"

typedef void (*lac_profiler_fn)(void);

extern "C" {
// The hooks around the blocking calls (poll and read in get, the command and
// reply requests). profiler() may replace them from one worker while others
// are calling them, so they are atomics; relaxed is enough, since the hooks
// publish nothing but themselves.
extern std::atomic<lac_profiler_fn> profiler_start;
extern std::atomic<lac_profiler_fn> profiler_end;
void profiler_none(void);

int load_module(const char* path);
int device_major(FILE* stream);
int lac_open_device(lac_handle* h);
int lac_close_device(lac_handle* h);
int unload_module(const char* name);
int make_node(int major);  // the device node for the driver's major number

}

inline void lac_profiler_start(void) { profiler_start.load(std::memory_order_relaxed)(); }
inline void lac_profiler_end(void) { profiler_end.load(std::memory_order_relaxed)(); }
