// The compiler table's Lua functions: build, sign and read back the program image.
#pragma once
#include <lua.hpp>

extern "C" {
int acc_clear(lua_State* L);
int acc_sign(lua_State* L);
int acc_guid(lua_State* L);
int acc_default(lua_State* L);
int acc_procedure(lua_State* L);
int acc_link(lua_State* L);
int acc_psieve(lua_State* L);
int acc_ssieve(lua_State* L);
int acc_newsieve(lua_State* L);
int acc_constant(lua_State* L);
int acc_suffixlist(lua_State* L);
int acc_newcode(lua_State* L);
int acc_newjump(lua_State* L);
int acc_newreturn(lua_State* L);
int acc_dump(lua_State* L);
int acc_tostring(lua_State* L);
}
