#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "channel/command.h"
#include "channel/device.h"
#include "lua/channel_lua.h"
#include "lua/handle_lua.h"
#include "lua/json_lua.h"
#include "lua/result.h"

namespace {

constexpr int FAULT_WIDTH = 80;

bool has_header(const char* buf, uint32_t len)
{
    return len >= AC_RESPONSE_HEADER && buf[0] == '!' && buf[7] == '\0';
}

int32_t header_value(const char* buf, int which)
{
    int32_t v;
    memcpy(&v, buf + 8 + 4 * which, sizeof v);
    return v;
}

// Which conversion applies: null means JSON.
const char* choose_kind(const char* buf, uint32_t len, const char* caller, char* header_kind)
{
    if (!has_header(buf, len)) return caller;
    memcpy(header_kind, buf + 1, 6);
    header_kind[6] = '\0';
    if (!caller) return header_kind;
    bool header_wins = (header_kind[0] == 'e' || header_kind[0] == 'j') && strcmp(caller, "raw") != 0;
    return header_wins ? header_kind : caller;
}

int push_with_header_values(lua_State* L, const char* buf, int nresults)
{
    if (buf[0] != '!') return nresults;
    lua_pushinteger(L, header_value(buf, 0));
    lua_pushinteger(L, header_value(buf, 1));
    return nresults + 2;
}

int push_array(lua_State* L, const char* buf, uint32_t len)
{
    uint32_t words = len / 8;
    lua_createtable(L, (int)words, 0);
    for (uint32_t i = 2; i < words; i++) {
        uint64_t w;
        memcpy(&w, buf + 8 * i, sizeof w);
        lua_pushnumber(L, (lua_Number)w);
        lua_rawseti(L, -2, (int)(i - 1));
    }
    return push_with_header_values(L, buf, 1);
}

// Payload, then the command excerpt around the fault, then a marker line under it.
void push_fault_message(lua_State* L, const char* cmd, size_t cmd_len, const char* buf, uint32_t len)
{
    long L_ = (long)cmd_len;
    long a = std::max<long>(header_value(buf, 0), 0);
    long start = std::min(a, L_);
    long end = std::min<long>(header_value(buf, 1), L_);
    long width = std::min(std::max(end, start), start + FAULT_WIDTH) - start;
    long from = start, count = L_ - start, col = 0;
    if (L_ >= FAULT_WIDTH) {
        long half = (FAULT_WIDTH - width) / 2;
        if (half <= start) {
            from = start - half;
            count = std::min<long>(FAULT_WIDTH, L_ - from);
            col = half;
        } else {
            from = 0;
            count = FAULT_WIDTH;
            col = start;
        }
    }
    char marker[FAULT_WIDTH];
    memset(marker, ' ', sizeof marker);
    for (long i = col; i < col + width && i < FAULT_WIDTH; i++) marker[i] = '~';
    if (col < FAULT_WIDTH) marker[col] = '^';

    luaL_Buffer b;
    luaL_buffinit(L, &b);
    luaL_addlstring(&b, buf + AC_RESPONSE_HEADER, len - AC_RESPONSE_HEADER);
    luaL_addchar(&b, '\n');
    luaL_addlstring(&b, cmd + from, (size_t)count);
    luaL_addchar(&b, '\n');
    luaL_addlstring(&b, marker, sizeof marker);
    luaL_pushresult(&b);
}

int push_json(lua_State* L, char* buf, uint32_t len, uint32_t size)
{
    if (len >= size) return luaL_error(L, "Truncated by one");
    buf[len] = '\0';
    int n = jsonL_push(L, buf, len + 1);
    if (n == 1) return 1;
    lua_pushlstring(L, buf, len);
    return n + 1;
}

int push_response(lua_State* L, const char* cmd, size_t cmd_len, const char* kind, char* buf, uint32_t len,
                  uint32_t size)
{
    char header_kind[7];
    const char* k = len < AC_RESPONSE_HEADER ? kind : choose_kind(buf, len, kind, header_kind);
    if (!k) return push_json(L, buf, len, size);
    if (len < AC_RESPONSE_HEADER || !strcmp(k, "string") || !strcmp(k, "raw")) {
        lua_pushlstring(L, buf, len);
        return push_with_header_values(L, buf, 1);
    }
    if (!strcmp(k, "array")) return push_array(L, buf, len);
    if (!strcmp(k, "error")) {
        lua_pushnil(L);
        lua_pushlstring(L, buf + AC_RESPONSE_HEADER, len - AC_RESPONSE_HEADER);
        return 2;
    }
    if (!strcmp(k, "jerror")) {
        lua_pushnil(L);
        push_fault_message(L, cmd, cmd_len, buf, len);
        return 2;
    }
    lua_pushlstring(L, buf, len);
    return 1;
}

}  // namespace

extern "C" {

int bind_command(lua_State* L, const char* cmd, size_t len, const char* kind, lua_Integer size_arg)
{
    lac_handle* h = lac_checkhandle(L, 1);
    // A size below 16 is refused as given, before it is taken modulo 2^32:
    // checked only after, -4 became a buffer of 4 GiB.
    uint32_t size = (uint32_t)size_arg;
    if (size_arg != 0 && (size_arg < (lua_Integer)AC_RESPONSE_HEADER || size < AC_RESPONSE_HEADER))
        return luaL_error(L, "Return buffer too small");
    if (size == 0) size = AC_DEFAULT_RESPONSE_SIZE;
    if (len + 1 > UINT32_MAX) return luaL_error(L, "Command size too large");

    // Zeroed: header values are read from the buffer even when the driver wrote fewer bytes.
    char* buf = static_cast<char*>(lua_newuserdata(L, size));
    memset(buf, 0, size);
    uint32_t resp_len = 0;
    lac_profiler_start();
    int status = lac_command(h, cmd, len + 1, buf, size, &resp_len);
    lac_profiler_end();
    if (status) return l_pushresult(L, status, "command()");
    if (resp_len > size) return luaL_error(L, "Invalid command() return length %d", (int)resp_len);
    return push_response(L, cmd, len, kind, buf, resp_len, size);
}

// Lua: handle:command(text [, kind [, size]])
int l_command(lua_State* L)
{
    lac_checkhandle(L, 1);
    size_t len;
    const char* text = luaL_checklstring(L, 2, &len);
    const char* kind = luaL_optstring(L, 3, nullptr);
    lua_Integer size = luaL_optinteger(L, 4, 0);
    return bind_command(L, text, len, kind, size);
}

// Lua: open_worker([exit channel])
int l_open_worker(lua_State* L)
{
    lua_settop(L, 1);
    int n = l_open(L);
    if (!luaL_testudata(L, -1, LAC_HANDLE_META)) return n;
    int handle = lua_gettop(L);
    lua_getfield(L, handle, "command");
    lua_pushvalue(L, handle);
    lua_pushliteral(L, "\"beworker\"");
    int base = lua_gettop(L) - 3;
    lua_call(L, 2, LUA_MULTRET);
    bool accepted = lua_gettop(L) > base && lua_toboolean(L, base + 1);
    lua_settop(L, handle);
    if (accepted) return 1;
    lua_getfield(L, handle, "close");
    lua_pushvalue(L, handle);
    lua_call(L, 1, 0);
    return l_pushresult(L, LAC_ERR_GENERIC, "Failed to become worker");
}

}  // extern "C"
