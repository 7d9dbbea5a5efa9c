// Lua errors unwind with longjmp: nothing in this file may hold an object
// with a destructor while it calls into Lua.
#include "lua/json_lua.h"

#include <cstdio>
#include <cstring>

#include "json/json_parser.h"

namespace {

// Room for one token's pushes plus the four error results; checked before
// every token because each open container keeps up to two slots (table, key).
constexpr int JSON_STACK_RESERVE = 8;

// t[index] = v with v on top and t just below it; pops v.
void store_element(lua_State* L, lua_Integer index)
{
    lua_pushinteger(L, index);
    lua_insert(L, -2);
    lua_rawset(L, -3);
}

void push_number(lua_State* L, const json_parser* p)
{
    size_t n;
    const char* s = json_rawstring(p, &n);
    lua_pushlstring(L, s, n);
    int ok = 0;
    const lua_Number v = lua_tonumberx(L, -1, &ok);
    lua_pushnumber(L, ok ? v : 0);
    lua_replace(L, -2);
}

} // namespace

extern "C" {

const char* jsonL_tostring(lua_State* L, const char* raw, size_t len)
{
    if (len <= 2) {
        lua_pushliteral(L, "");
        return nullptr;
    }
    const char* s = raw + 1;
    const char* const end = raw + len - 1;
    const char* err = nullptr;
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    while (s < end) {
        const char* bs = static_cast<const char*>(std::memchr(s, '\\', end - s));
        if (!bs) {
            luaL_addlstring(&b, s, end - s);
            break;
        }
        luaL_addlstring(&b, s, bs - s);
        s = bs + 1;
        // A trailing lone backslash cannot come from the scanner; refuse it
        // rather than read the closing quote as escaped.
        char c = s < end ? *s : '\0';
        switch (c) {
        case '"': case '/': case '\\': break;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'u': err = "Unicode unsupported"; break;
        default: err = "Unsupported escape"; break;
        }
        if (err)
            break;
        luaL_addchar(&b, c);
        ++s;
    }
    // Closing the buffer is the only clean way to release its stack slot.
    luaL_pushresult(&b);
    if (err) {
        lua_pop(L, 1);
        return err;
    }
    return nullptr;
}

int jsonL_push(lua_State* L, const char* input, size_t len)
{
    json_parser p;
    json_init(&p, input, len);
    // Elements stored so far in the innermost open array; an inner array
    // parks its parent's count at its own index 0 until it closes.
    lua_Integer count = 0;
    while (json_has_more(&p)) {
        luaL_checkstack(L, JSON_STACK_RESERVE, "JSON decode");
        switch (json_next(&p)) {
        case JSON_NULL: lua_pushnil(L); break;
        case JSON_FALSE: lua_pushboolean(L, 0); break;
        case JSON_TRUE: lua_pushboolean(L, 1); break;
        case JSON_NUMBER: push_number(L, &p); break;
        case JSON_STRING: {
            size_t n;
            const char* raw = json_rawstring(&p, &n);
            if (const char* err = jsonL_tostring(L, raw, n))
                json_bailn(&p, err, std::strlen(err) + 1);
            break;
        }
        case JSON_ARRAY_BEGIN:
            lua_newtable(L);
            if (count > 0) {
                lua_pushinteger(L, count);
                lua_rawseti(L, -2, 0);
                count = 0;
            }
            break;
        case JSON_ARRAY_COMMA:
            store_element(L, ++count);
            break;
        case JSON_ARRAY_END:
            store_element(L, count + 1);
            [[fallthrough]];
        case JSON_ARRAY_EMPTY:
            lua_rawgeti(L, -1, 0);
            count = lua_tointeger(L, -1);
            lua_pop(L, 1);
            if (count > 0) {
                lua_pushnil(L);
                lua_rawseti(L, -2, 0);
            }
            break;
        case JSON_OBJECT_BEGIN: lua_newtable(L); break;
        case JSON_OBJECT_COMMA:
        case JSON_OBJECT_END: lua_rawset(L, -3); break;
        default: break;  // colon, empty object end, error
        }
    }
    if (p.state == JSON_STATE_DONE)
        return 1;

    // A failed json_init leaves both bounds at the input start: 1:1.
    const long long start = p.token_start - p.input + 1;
    const long long end = p.token_end - p.input + 1;
    char pos[48];
    std::snprintf(pos, sizeof pos, "%lld:%lld:", start, end);
    lua_pushnil(L);
    lua_pushstring(L, pos);
    lua_pushstring(L, p.message);
    lua_concat(L, 2);
    lua_pushinteger(L, static_cast<lua_Integer>(start));
    lua_pushinteger(L, static_cast<lua_Integer>(end));
    return 4;
}

int jsonL_decode(lua_State* L)
{
    size_t len;
    const char* text = luaL_checklstring(L, 1, &len);
    // Lua strings carry a NUL after their last byte.
    return jsonL_push(L, text, len + 1);
}

} // extern "C"
