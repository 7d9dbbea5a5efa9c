#include <cstring>

#include "cache/drift_filters.h"
#include "lua/args.h"
#include "lua/cache_lua.h"

extern "C" {

// Lua: DriftFreshFilter(reply) -> record | nil, message
int l_DriftFreshFilter(lua_State* L)
{
    if (lua_type(L, 1) != LUA_TSTRING) {
        if (lua_gettop(L) >= 2) return lua_gettop(L);  // a failed command's results pass through
        lua_pushnil(L);
        lua_pushliteral(L, "missing getFileFilter");
        return 2;
    }
    size_t len;
    const char* reply = lua_tolstring(L, 1, &len);
    ac_fresh_filter rec;
    char err[128];
    if (DriftFreshFilter(reply, len, &rec, err, sizeof err) != 0) {
        lua_pushnil(L);
        lua_pushstring(L, err);
        return 2;
    }
    lua_pushlstring(L, reinterpret_cast<const char*>(&rec), sizeof rec);
    return 1;
}

// Lua: quickIMFilter(path, extension, monitored list) -> boolean
int l_quickIMFilter(lua_State* L)
{
    size_t path_len, ext_len;
    const char* path = lac_checkpath(L, 1, &path_len);
    const char* ext = lac_checkpath(L, 2, &ext_len);
    const char* list = lac_checkpath(L, 3);
    luaL_argcheck(L, path_len < AC_PATH_MAX, 1, "path too long");
    luaL_argcheck(L, ext_len < AC_EXT_MAX, 2, "extension too long");
    static_assert(sizeof(ac_decision_ctx) < 64 * 1024, "context fits the stack");
    ac_decision_ctx ctx;
    memset(&ctx, 0, sizeof ctx);
    memcpy(ctx.realpath, path, path_len + 1);
    memcpy(ctx.fileExtension, ext, ext_len + 1);
    ctx.basedir = list;
    lua_pushboolean(L, quickIMFilter(&ctx));
    return 1;
}

}  // extern "C"
