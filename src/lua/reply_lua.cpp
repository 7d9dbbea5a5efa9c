#include "channel/device.h"
#include "channel/reply.h"
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
    ac_reply_msg msg{};
    msg.id = (uint32_t)lua_tounsigned(L, -1);
    lua_pop(L, 1);
    msg.reply = (uint32_t)luaL_checkinteger(L, 3);
    if (msg.reply & REPLY_FLAG_ETA) {
        if (!lua_istable(L, 4)) return luaL_error(L, "expected reply options, for 'eta'");
        lua_getfield(L, 4, "eta");
        msg.eta = (int32_t)lua_tointeger(L, -1);
        lua_pop(L, 1);
    }
    if (msg.reply == REPLY_ERROR) {
        if (!lua_istable(L, 4)) return luaL_error(L, "expected reply options, for 'error'");
        lua_getfield(L, 4, "error");
        msg.error = (int64_t)lua_tointeger(L, -1);
        lua_pop(L, 1);
    }
    lac_profiler_start();
    int status = lac_reply(h, &msg);
    lac_profiler_end();
    return l_pushresult(L, status, "reply()");
}

}  // extern "C"
