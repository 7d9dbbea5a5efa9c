// Conversion of JSON text to Lua values.
#pragma once
#include <cstddef>
#include <lua.hpp>

extern "C" {
// Decodes input (len counts the terminating NUL) and pushes one value (returns 1),
// or nil, "start:end:message", start, end (returns 4).
int jsonL_push(lua_State* L, const char* input, size_t len);
// Decodes one raw string token (quotes included) and pushes it; returns nullptr,
// or the error message with nothing pushed.
const char* jsonL_tostring(lua_State* L, const char* raw, size_t len);
// Lua: decode(text)
int jsonL_decode(lua_State* L);
}
