// The device handle userdata behind the metatable "vava.handle".
#pragma once
#include <cstdint>
#include <lua.hpp>

#define LAC_HANDLE_META "vava.handle"

struct lac_handle {
    int32_t fd;
    int32_t* exit_fd;  // caller-owned shutdown descriptor, read afresh at every wait
    uint32_t closed;
    uint32_t stopped;
};

inline lac_handle* lac_checkhandle(lua_State* L, int idx)
{
    return static_cast<lac_handle*>(luaL_checkudata(L, idx, LAC_HANDLE_META));
}
