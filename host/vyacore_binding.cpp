#include "vyacore_binding.h"

#include <cstring>

// Registry keys: the metatable shared by all host objects, and the table of
// method tables by binding type name.
static const char* const OBJECT_META = "vyacore.object";
static const char* const METHODS = "vyacore.methods";

extern "C" {

vyacore_object* vyacore_to_object(lua_State* L, int idx)
{
    return static_cast<vyacore_object*>(luaL_testudata(L, idx, OBJECT_META));
}

void* vyacore_fetch(lua_State* L, int idx, const char* type, bool* is_const)
{
    if (is_const) *is_const = false;
    vyacore_object* box = type ? vyacore_to_object(L, idx) : nullptr;
    if (!box || !box->object || strcmp(box->type, type) != 0) return nullptr;
    if (is_const) *is_const = box->is_const != 0;
    return box->object;
}

static int object_gc(lua_State* L)
{
    vyacore_object* box = vyacore_to_object(L, 1);
    if (box && box->object && box->destroy) box->destroy(box->object);
    if (box) box->object = nullptr;
    return 0;
}

// Methods come from the type's method table; fields are not offered.
static int object_index(lua_State* L)
{
    vyacore_object* box = vyacore_to_object(L, 1);
    if (!box) return 0;
    luaL_getsubtable(L, LUA_REGISTRYINDEX, METHODS);
    lua_getfield(L, -1, box->type);
    if (!lua_istable(L, -1)) return 0;
    lua_pushvalue(L, 2);
    lua_rawget(L, -2);
    return 1;
}

static int object_tostring(lua_State* L)
{
    vyacore_object* box = vyacore_to_object(L, 1);
    lua_pushfstring(L, "%s%s: %p", box->is_const ? "const " : "", box->type, box->object);
    return 1;
}

static void push_metatable(lua_State* L)
{
    if (luaL_newmetatable(L, OBJECT_META)) {
        lua_pushcfunction(L, object_gc);
        lua_setfield(L, -2, "__gc");
        lua_pushcfunction(L, object_index);
        lua_setfield(L, -2, "__index");
        lua_pushcfunction(L, object_tostring);
        lua_setfield(L, -2, "__tostring");
        lua_pushliteral(L, "host object");
        lua_setfield(L, -2, "__metatable");
    }
}

void vyacore_define_type(lua_State* L, const char* type, const luaL_Reg* methods)
{
    luaL_getsubtable(L, LUA_REGISTRYINDEX, METHODS);
    lua_newtable(L);
    luaL_setfuncs(L, methods, 0);
    lua_setfield(L, -2, type);
    lua_pop(L, 1);
}

vyacore_object* vyacore_push_empty(lua_State* L, const char* type)
{
    auto* box = static_cast<vyacore_object*>(lua_newuserdata(L, sizeof(vyacore_object)));
    box->object = nullptr;
    box->type = type;
    box->destroy = nullptr;
    box->is_const = 0;
    push_metatable(L);
    lua_setmetatable(L, -2);
    return box;
}

int vyacore_push_const(lua_State* L, int idx)
{
    idx = lua_absindex(L, idx);
    vyacore_object* orig = vyacore_to_object(L, idx);
    if (!orig) return 0;
    vyacore_object* view = vyacore_push_empty(L, orig->type);
    // A 5.2 user value must be a table: it holds the original.
    lua_createtable(L, 1, 0);
    lua_pushvalue(L, idx);
    lua_rawseti(L, -2, 1);
    lua_setuservalue(L, -2);
    view->object = orig->object;
    view->is_const = 1;
    return 1;
}

}  // extern "C"
