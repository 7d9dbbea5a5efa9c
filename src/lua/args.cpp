#include "lua/args.h"

#include <cstring>

extern "C" {

const char* lac_checkpath(lua_State* L, int idx, size_t* len)
{
    size_t n;
    const char* s = luaL_checklstring(L, idx, &n);
    if (memchr(s, '\0', n)) luaL_argerror(L, idx, "embedded zero byte");
    if (len) *len = n;
    return s;
}

const char* lac_optpath(lua_State* L, int idx) { return lua_isnoneornil(L, idx) ? nullptr : lac_checkpath(L, idx); }

lua_Number lac_checkrange(lua_State* L, int idx, lua_Number min, lua_Number max)
{
    lua_Number v = luaL_checknumber(L, idx);
    if (!(v >= min && v <= max)) luaL_argerror(L, idx, lua_pushfstring(L, "value out of range [%f, %f]", min, max));
    return v;
}

void* lac_optpointer(lua_State* L, int idx)
{
    if (lua_type(L, idx) == LUA_TUSERDATA) luaL_argerror(L, idx, "light userdata expected, got userdata");
    return lua_islightuserdata(L, idx) ? lua_touserdata(L, idx) : nullptr;
}

}  // extern "C"
