#include <cstring>

#include "base/context.h"
#include "base/paths.h"
#include "cache/process_cache.h"
#include "cache/process_types.h"
#include "cache/trusted_paths.h"
#include "lua/args.h"
#include "lua/cache_lua.h"

extern "C" {

// Lua: GetProcessInterpreterType(pid, path) -> type, nocache | 1
int l_GetProcessInterpreterType(lua_State* L)
{
    uint64_t pid = (uint64_t)luaL_checkinteger(L, 1);
    size_t len;
    const char* path = lac_checkpath(L, 2, &len);
    luaL_argcheck(L, len < AC_PATH_MAX, 2, "path longer than 4095 bytes");

    ac_decision_ctx ctx = {};
    memcpy(ctx.processName, path, len + 1);
    splitpath(ctx.processPath, ctx.processFileName, ctx.processName);
    extract_file_extension(ctx.processFileName, ctx.processExtension, '.');
    memcpy(ctx.fileExtension, ctx.processExtension, sizeof ctx.fileExtension);

    uint64_t type = GetProcessInterpreterType(&ctx);
    if (type >= 2) {
        if (!ctx.nocache) AddProcess(pid, type, ctx.processFileName);
        lua_pushinteger(L, (lua_Integer)type);
        lua_pushboolean(L, ctx.nocache != 0);
        return 2;
    }
    AddProcess(pid, type, ctx.processFileName);
    lua_pushinteger(L, (lua_Integer)type);
    return 1;
}

// Lua: IsExtensionInterpreted(type, extension) -> boolean; no extension gives false.
int l_IsExtensionInterpreted(lua_State* L)
{
    uint64_t type = (uint64_t)luaL_checkinteger(L, 1);
    const char* extension = lac_optpath(L, 2);
    lua_pushboolean(L, IsExtensionInterpreted(type, extension));
    return 1;
}


// Lua: IsTrustedPath(type, path) -> boolean, without log output.
int l_IsTrustedPath(lua_State* L)
{
    uint64_t type = (uint64_t)luaL_checkinteger(L, 1);
    const char* path = lac_checkpath(L, 2);
    lua_pushboolean(L, IsTrustedPath(type, path, nullptr));
    return 1;
}

// Lua: IsPrelink(type) -> boolean
int l_IsPrelink(lua_State* L)
{
    lua_pushboolean(L, IsPrelink((uint64_t)luaL_checkinteger(L, 1)));
    return 1;
}

}  // extern "C"
