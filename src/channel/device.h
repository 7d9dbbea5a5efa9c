// Kernel modules, the device node and device handles.
#pragma once
#include <cstdio>
#include <lua.hpp>

#include "channel/handle.h"

#define LAC_DRIVER_MODULE "vava"
#define LAC_HOOK_MODULE "qnhook"
#define LAC_DEVICE_NODE "/dev/qnvyac"
#define LAC_PROC_DEVICES "/proc/devices"

typedef void (*lac_profiler_fn)(void);

extern "C" {
extern lac_profiler_fn profiler_start;
extern lac_profiler_fn profiler_end;
void profiler_none(void);

int load_module(const char* path);
int device_major(FILE* stream);
int lac_open_device(lac_handle* h);
int lac_close_device(lac_handle* h);

int l_load(lua_State* L);
int l_unload(lua_State* L);
int l_open(lua_State* L);
int l_profiler(lua_State* L);
int l_close(lua_State* L);
int l_tostring(lua_State* L);
int l_isdone(lua_State* L);
}
