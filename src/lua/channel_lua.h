// The driver channel's Lua functions: module functions and handle methods.
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
int l_reply(lua_State* L);
int l_program(lua_State* L);  // sends the whole rule program image as one command

int l_load(lua_State* L);
int l_unload(lua_State* L);
int l_open(lua_State* L);
int l_profiler(lua_State* L);
int l_close(lua_State* L);
int l_tostring(lua_State* L);
int l_isdone(lua_State* L);

int l_get(lua_State* L);
int l_gettest(lua_State* L);
}
