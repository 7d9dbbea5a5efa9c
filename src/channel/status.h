// Channel status codes, their classes and texts, and the Lua result convention.
#pragma once
#include <cstdint>
#include <lua.hpp>

enum {
    LAC_OK = 0,
    LAC_ERR_GENERIC = -1,
    LAC_ERR_SHUTDOWN = -2,
    LAC_ERR_DISABLED = -3,
    LAC_ERR_TIMEOUT = -4,
    LAC_EAGAIN = 11,
};

enum lac_class { LAC_CLASS_OK, LAC_CLASS_FAILED, LAC_CLASS_RETRY, LAC_CLASS_STOPPED, LAC_CLASS_TIMEOUT };

extern "C" {
int lac_is_error(int status);
enum lac_class lac_explain(int status);
void lac_push_error(lua_State* L, int status);
int l_pushresult(lua_State* L, int status, const char* format, ...);
int l_istimeout(lua_State* L);
// Sets t[names[i]] = low 32 bits of values[i] in the table on the stack top;
// counters are 64-bit but reach Lua modulo 2^32.
void lac_set_counters(lua_State* L, const char* const* names, const uint64_t* values, int n);
}

// A Lua number as an unsigned 64-bit value: negatives wrap as integers do,
// values beyond the range saturate instead of being undefined.
inline uint64_t lac_tou64(lua_Number v)
{
    if (!(v > 0)) return v < 0 ? (uint64_t)(int64_t)(v < -9.2e18 ? -9.2e18 : v) : 0;
    return v >= 18446744073709551615.0 ? UINT64_MAX : (uint64_t)v;
}
