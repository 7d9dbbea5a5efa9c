#include "ac/file_hash.h"
#include "lua/args.h"
#include "lua/ac_lua.h"

namespace {

void push_digest(lua_State* L, const ac_file_digests& d, unsigned bit)
{
    if (!(d.done & bit)) {
        lua_pushnil(L);
        return;
    }
    switch (bit) {
    case AC_HASH_MD5:
        lua_pushlstring(L, (const char*)d.md5, sizeof d.md5);
        break;
    case AC_HASH_SHA1:
        lua_pushlstring(L, (const char*)d.sha1, sizeof d.sha1);
        break;
    default:
        lua_pushlstring(L, (const char*)d.sha256, sizeof d.sha256);
    }
}

// Pushes: nil or the error number, then each digest in order (all nil on
// failure), then the byte count. Returns the number of values.
int hash_results(lua_State* L, const unsigned* order, int n, unsigned which)
{
    const char* path = lac_checkpath(L, 1);
    ac_file_digests d;
    uint64_t count;
    int err = ac_hash_file(path, which, &d, &count);
    if (err) {
        lua_pushinteger(L, err);
        d.done = 0;
    } else {
        lua_pushnil(L);
    }
    for (int i = 0; i < n; i++) push_digest(L, d, order[i]);
    lua_pushnumber(L, (lua_Number)count);
    return n + 2;
}

}  // namespace

extern "C" {

int l_HashNull(lua_State* L)
{
    const char* path = lac_checkpath(L, 1);
    ac_file_digests d;
    uint64_t count;
    int err = ac_hash_file(path, 0, &d, &count);
    if (err)
        lua_pushinteger(L, err);
    else
        lua_pushnil(L);
    return 1;
}

int l_HashString(lua_State* L)
{
    size_t len;
    const char* text = luaL_checklstring(L, 1, &len);
    unsigned char out[AC_SHA256_TEXT_MAX];
    unsigned outlen = 0;
    if (!ac_sha256_text(text, len, out, &outlen)) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushlstring(L, (const char*)out, outlen);
    return 1;
}

int l_HashPrimary(lua_State* L)
{
    static const unsigned order[] = {AC_HASH_SHA256};
    return hash_results(L, order, 1, AC_HASH_SHA256);
}

int l_HashSecondary(lua_State* L)
{
    static const unsigned order[] = {AC_HASH_MD5, AC_HASH_SHA1};
    return hash_results(L, order, 2, AC_HASH_MD5 | AC_HASH_SHA1);
}

int l_HashAll(lua_State* L)
{
    static const unsigned order[] = {AC_HASH_MD5, AC_HASH_SHA1, AC_HASH_SHA256};
    unsigned which = AC_HASH_SHA1 | AC_HASH_SHA256;
    if (!ac_fips_mode()) which |= AC_HASH_MD5;
    return hash_results(L, order, 3, which);
}

}  // extern "C"
