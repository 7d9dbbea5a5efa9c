// Lua AbstractEvent(event): the fast path run on an event described by a
// table, without the driver, so policy code can see what it would answer.
#include <cstring>

#include "abstraction/dispatcher.h"
#include "abstraction/resolution.h"
#include "base/paths.h"
#include "lua/result.h"
#include "lua/test_entry.h"

namespace {

constexpr int32_t TEST_PID = 555;

// Pushes t[key] and leaves it on the stack for the rest of the call.
int field(lua_State* L, const char* key)
{
    lua_getfield(L, 1, key);
    return lua_gettop(L);
}

}  // namespace

extern "C" int l_AbstractEvent(lua_State* L)
{
    luaL_argcheck(L, lua_istable(L, 1), 1, "Lua table expected");
    ac_reply_msg reply;
    ac_event_info ev;
    ac_decision_ctx ctx;
    memset(&reply, 0, sizeof reply);
    memset(&ev, 0, sizeof ev);
    memset(&ctx, 0, sizeof ctx);
    ctx.event = &ev;

    ev.type = (uint32_t)luaL_checkinteger(L, field(L, "type"));
    ev.flags = lac_tou64(lua_tonumber(L, field(L, "flags")));
    ev.rc = (int32_t)lua_tointeger(L, field(L, "rc"));
    ev.dirty = (int32_t)lua_tointeger(L, field(L, "dirty"));
    ctx.maintenanceMode = (uint32_t)lua_tointeger(L, field(L, "maintenanceMode"));
    ctx.lockdown = (uint32_t)lua_tointeger(L, field(L, "lockdown"));
    const char* basedir = lua_tostring(L, field(L, "basedir"));
    ctx.basedir = basedir ? basedir : "";
    ctx.authorizeStartTime = lac_tou64(lua_tonumber(L, field(L, "authorizeStartTime")));
    const char* rlpath = lua_tostring(L, field(L, "rlpath"));
    const char* procName = lua_tostring(L, field(L, "procName"));

    ev.pid = TEST_PID;
    ctx.ac_on = 1;
    ctx.debugLog = stdout;
    if (rlpath && procName) {
        ac_copy_path(ctx.realpath, rlpath);
        ac_copy_path(ev.name, rlpath);
        ac_copy_path(ctx.processName, procName);
        splitpath(ctx.processPath, ctx.processFileName, ctx.processName);
        splitpath(ctx.path, ctx.fileName, ctx.realpath);
        extract_file_extension(ctx.fileName, ctx.fileExtension, '.');
    }
    procDebug(&ctx);
    int32_t result = AbstractEvent(&reply, &ctx);
    fflush(stdout);
    lua_pushinteger(L, result);
    if (reply.reply == 0) return 1;
    lua_pushinteger(L, reply.reply);
    return 2;
}
