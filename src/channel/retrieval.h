// Event retrieval: wait, read, decide in the fast path, log, hand to Lua.
#pragma once
#include <cstdint>
#include <lua.hpp>

#include "channel/handle.h"

struct lac_get_options {
    int32_t ac_on;
    int32_t lockdown;
    int32_t logMode;
    const char* basedir;
    int32_t maintenanceMode;
    uint64_t startTime;
};

// A name too long for the Lua table; raised by the caller once nothing is held.
struct lac_name_error {
    const char* key;
    size_t length;
};

constexpr int LAC_NAME_TOO_LONG = -100;  // internal: see lac_name_error

extern "C" {
int lac_poll(lac_handle* h, int32_t* exit_fd, int timeout);
int lac_get(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err);
int lac_gettest(lua_State* L, lac_handle* h, lac_name_error* err);
int l_get(lua_State* L);
int l_gettest(lua_State* L);
}
