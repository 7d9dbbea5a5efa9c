// Argument checks shared by the Lua functions: what a C field cannot hold
// is refused as an argument error rather than cut down silently.
#pragma once
#include <lua.hpp>

extern "C" {
// A string argument used as a path or name: a zero byte inside would make
// the engine act on its prefix only.
const char* lac_checkpath(lua_State* L, int idx, size_t* len = nullptr);
// The same, with nil or none giving null.
const char* lac_optpath(lua_State* L, int idx);
// An integer argument that must lie in [min, max] to fit its field.
lua_Number lac_checkrange(lua_State* L, int idx, lua_Number min, lua_Number max);
// A pointer argument: a light userdata (its pointer), or null for any
// non-userdata value. A full userdata is refused.
void* lac_optpointer(lua_State* L, int idx);
}
