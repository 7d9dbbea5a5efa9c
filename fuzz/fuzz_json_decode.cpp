// JSON decoder and the pull parser under it: jsonL_push as the command path
// calls it, and decode() as the policy code calls it. Checked: a success is one
// value whose tables are keyed by strings or by integers from 1 (no bookkeeping
// left behind), and decode() gives a value of the same type; a failure is nil,
// "start:end:message", start and end with 1 <= start <= end within the text.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "lua/json_lua.h"

namespace {

const char* g_text;
size_t g_len;  // counts the terminating NUL, as jsonL_push expects

int push(lua_State* L)
{
    int n = jsonL_push(L, g_text, g_len);
    FUZZ_CHECK(n == 1 || n == 4);  // only the results count: a failure may leave half-built values below
    return n;
}

void check_value(lua_State* L, int idx, int depth)
{
    if (lua_type(L, idx) != LUA_TTABLE) return;
    FUZZ_CHECK(depth <= 65 && lua_checkstack(L, 4));
    idx = lua_absindex(L, idx);
    for (lua_pushnil(L); lua_next(L, idx); lua_pop(L, 1)) {
        if (lua_type(L, -2) == LUA_TNUMBER) {
            lua_Number k = lua_tonumber(L, -2);
            FUZZ_CHECK(k >= 1 && k == (lua_Number)(lua_Integer)k);
        } else {
            FUZZ_CHECK(lua_type(L, -2) == LUA_TSTRING);
        }
        check_value(L, -1, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static lua_State* L = fuzz::new_state();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t len = strlen(text.c_str());  // the text ends at its first NUL
    // The text with its NUL; then the raw bytes, which without a NUL must be
    // refused without a read past them.
    for (int raw = 0; raw < 2; raw++) {
        g_text = raw ? reinterpret_cast<const char*>(data) : text.c_str();
        g_len = raw ? size : size + 1;
        lua_settop(L, 0);
        lua_pushcfunction(L, push);
        if (lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK || raw) continue;
        if (lua_gettop(L) == 4) {
            lua_Integer start = lua_tointeger(L, 3), end = lua_tointeger(L, 4);
            FUZZ_CHECK(lua_isnil(L, 1) && lua_type(L, 2) == LUA_TSTRING);
            FUZZ_CHECK(start >= 1 && start <= end && (size_t)end <= len + 1);
            continue;
        }
        check_value(L, 1, 0);
        lua_getglobal(L, "lacdc");
        lua_getfield(L, -1, "decode");
        lua_pushlstring(L, text.c_str(), len);
        FUZZ_CHECK(lua_pcall(L, 1, LUA_MULTRET, 0) == LUA_OK && lua_gettop(L) == 3);
        FUZZ_CHECK(lua_type(L, 3) == lua_type(L, 1));
    }
    fuzz::end_run(L, 1024);
    return 0;
}
