#include "lua/result.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "lua/handle_lua.h"

extern "C" {

void lac_push_error(lua_State* L, int status)
{
    switch (status) {
    case LAC_ERR_GENERIC: lua_pushliteral(L, ""); return;
    case LAC_ERR_SHUTDOWN: lua_pushliteral(L, "Shutting down"); return;
    case LAC_ERR_DISABLED: lua_pushliteral(L, "Driver disabled"); return;
    case LAC_ERR_TIMEOUT: lua_pushliteral(L, "Timeout"); return;
    default: break;
    }
    char buf[256];
    const char* text = status > 0 ? strerror_r(status, buf, sizeof buf) : "";
    if (status == EBADF) {
        // Name the descriptor: a bad descriptor is almost always a handle misuse.
        auto* h = static_cast<lac_handle*>(luaL_testudata(L, 1, LAC_HANDLE_META));
        if (h) {
            lua_pushfstring(L, "%s fd=%d", text, h->fd);
            return;
        }
    }
    lua_pushstring(L, text);
}

int l_pushresult(lua_State* L, int status, const char* format, ...)
{
    if (status == 0) {
        lua_pushboolean(L, 1);
        return 1;
    }
    lua_pushnil(L);
    lua_pushinteger(L, status);
    va_list ap;
    va_start(ap, format);
    lua_pushvfstring(L, format, ap);
    va_end(ap);
    lua_pushliteral(L, ": ");
    lac_push_error(L, status);
    lua_pushfstring(L, " (%d)", status);
    lua_concat(L, 4);
    return 3;
}

void lac_set_counters(lua_State* L, const char* const* names, const uint64_t* values, int n)
{
    for (int i = 0; i < n; i++) {
        lua_pushunsigned(L, (lua_Unsigned)(uint32_t)values[i]);
        lua_setfield(L, -2, names[i]);
    }
}

int l_istimeout(lua_State* L)
{
    int code = (int)luaL_checkinteger(L, 1);
    lua_pushboolean(L, lac_explain(code) == LAC_CLASS_TIMEOUT);
    return 1;
}

}  // extern "C"
