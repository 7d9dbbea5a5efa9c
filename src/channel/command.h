// Commands to the driver and the conversion of their responses.
#pragma once
#include <cstddef>
#include <lua.hpp>

constexpr size_t AC_RESPONSE_HEADER = 16;
constexpr lua_Integer AC_DEFAULT_RESPONSE_SIZE = 4096;

extern "C" {
// Sends cmd (len bytes, a NUL is added) on the handle at stack index 1 and
// pushes the results of the response. kind may be null; size 0 means 4096.
int bind_command(lua_State* L, const char* cmd, size_t len, const char* kind, lua_Integer size);
int l_command(lua_State* L);
int l_open_worker(lua_State* L);
}
