#include "channel/device.h"
#include "channel/reply.h"
#include "lua/args.h"
#include "lua/channel_lua.h"
#include "lua/handle_lua.h"
#include "lua/result.h"

extern "C" {

// Lua: handle:reply(event, code [, options])
int l_reply(lua_State* L)
{
    lac_handle* h = lac_checkhandle(L, 1);
    luaL_argcheck(L, lua_istable(L, 2), 2, "Expected event");
    lua_getfield(L, 2, "id");
    luaL_argcheck(L, lua_isnumber(L, -1), 2, "Expected event (no id)");
    lua_Number id = lua_tonumber(L, -1);
    luaL_argcheck(L, id >= 0 && id <= UINT32_MAX, 2, "event id out of range");
    ac_reply_msg msg{};
    msg.id = (uint32_t)id;
    lua_pop(L, 1);
    msg.reply = (uint32_t)lac_checkrange(L, 3, 0, UINT32_MAX);
    if (msg.reply & REPLY_FLAG_ETA) {
        if (!lua_istable(L, 4)) return luaL_error(L, "expected reply options, for 'eta'");
        lua_getfield(L, 4, "eta");
        if (!lua_isnil(L, -1)) msg.eta = (int32_t)lac_checkrange(L, lua_gettop(L), INT32_MIN, INT32_MAX);
        lua_pop(L, 1);
    }
    if (msg.reply == REPLY_ERROR) {
        if (!lua_istable(L, 4)) return luaL_error(L, "expected reply options, for 'error'");
        lua_getfield(L, 4, "error");
        if (!lua_isnil(L, -1)) msg.error = (int64_t)lac_checkrange(L, lua_gettop(L), -9223372036854775808.0, 9223372036854774784.0);
        lua_pop(L, 1);
    }
    lac_profiler_start();
    int status = lac_reply(h, &msg);
    lac_profiler_end();
    return l_pushresult(L, status, "reply()");
}

}  // extern "C"
