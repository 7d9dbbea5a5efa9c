// JSON decoder: jsonL_push on a Lua state, as the command path calls it, and
// decode() as policy code calls it.
//
// Checked beyond the sanitizers: a success leaves exactly one value, whose
// tables have string keys or integer keys from 1; a failure returns nil,
// "start:end:message", start and end with 1 <= start <= end and both within
// the text.
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "lua/json_lua.h"

namespace {

struct input {
    const char* text;
    size_t len;  // counts the terminating NUL, as jsonL_push expects
};

int push_protected(lua_State* L)
{
    auto* in = static_cast<input*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    int n = jsonL_push(L, in->text, in->len);
    // Only the results count: an inner failure may leave half-built values below.
    if (n != 1 && n != 4) fuzz::invariant_failed("jsonL_push result count");
    return n;
}

void check_results(lua_State* L, int base, size_t text_len)
{
    int n = lua_gettop(L) - base;
    if (n == 1) return;
    FUZZ_CHECK(n == 4);
    FUZZ_CHECK(lua_isnil(L, base + 1));
    FUZZ_CHECK(lua_type(L, base + 2) == LUA_TSTRING);
    lua_Integer start = lua_tointeger(L, base + 3), end = lua_tointeger(L, base + 4);
    FUZZ_CHECK(start >= 1 && start <= end);
    FUZZ_CHECK((size_t)end <= text_len + 1);
}

// A decoded value holds tables keyed by strings (objects) or by integers from 1
// (arrays); the decoder's bookkeeping (an array's parked count at index 0)
// never stays behind.
void check_value(lua_State* L, int idx, int depth)
{
    if (lua_type(L, idx) != LUA_TTABLE) return;
    FUZZ_CHECK(depth <= 65);
    // Each level holds a key and a value on the stack: make room first.
    FUZZ_CHECK(lua_checkstack(L, 4));
    idx = lua_absindex(L, idx);
    lua_pushnil(L);
    while (lua_next(L, idx)) {
        if (lua_type(L, -2) == LUA_TNUMBER) {
            lua_Number k = lua_tonumber(L, -2);
            FUZZ_CHECK(k >= 1 && k == (lua_Number)(lua_Integer)k);
        } else {
            FUZZ_CHECK(lua_type(L, -2) == LUA_TSTRING);
        }
        check_value(L, -1, depth + 1);
        lua_pop(L, 1);
    }
}

lua_State* state()
{
    static lua_State* L = fuzz::new_state();
    return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lua_State* L = state();
    lua_settop(L, 0);

    // jsonL_push on a NUL-terminated copy: the whole input is the text.
    std::vector<char> text(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size);
    text.push_back('\0');
    input in{text.data(), text.size()};
    lua_pushcfunction(L, push_protected);
    lua_pushlightuserdata(L, &in);
    if (fuzz::pcall(L, 1) == LUA_OK) {
        // A success is one value; the text ends at its first NUL.
        check_results(L, 0, strlen(text.data()));
        if (lua_gettop(L) == 1) {
            check_value(L, 1, 0);
            // The same text through decode() gives the same kind of value.
            int type = lua_type(L, 1);
            lua_getglobal(L, "lacdc");
            lua_getfield(L, -1, "decode");
            lua_remove(L, -2);
            lua_pushlstring(L, text.data(), strlen(text.data()));
            int base = lua_gettop(L) - 2;
            FUZZ_CHECK(fuzz::pcall(L, 1) == LUA_OK);
            FUZZ_CHECK(lua_gettop(L) - base == 1 && lua_type(L, -1) == type);
        }
    }
    lua_settop(L, 0);

    // jsonL_push on the raw bytes, whatever their end: no NUL within them
    // must be refused without reading past the buffer.
    input raw{reinterpret_cast<const char*>(data), size};
    lua_pushcfunction(L, push_protected);
    lua_pushlightuserdata(L, &raw);
    fuzz::pcall(L, 1);
    lua_settop(L, 0);

    static unsigned runs;
    if (++runs % 1024 == 0) lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
