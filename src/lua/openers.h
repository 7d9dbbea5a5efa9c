// The module openers: the only symbols ac.so exports.
#pragma once
#include <lua.hpp>

#define AC_MODULE_EXPORT __attribute__((visibility("default")))

extern "C" {
AC_MODULE_EXPORT int luaopen_ac(lua_State* L);
AC_MODULE_EXPORT int luaopen_lacdc(lua_State* L);
AC_MODULE_EXPORT int luaopen_vava(lua_State* L);
}
