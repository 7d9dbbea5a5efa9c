// The Lua result convention: true, or nil, status and a message; status
// texts; counter tables; Lua numbers as unsigned 64-bit values.
#pragma once
#include <cstdint>
#include <lua.hpp>

#include "base/status.h"

extern "C" {
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
