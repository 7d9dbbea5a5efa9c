// The host's Lua binding: host objects travel through Lua as full userdata that
// carry the object's address, its binding type name and a constant mark.
//
// Plugins (module ac) reach the objects only through vyacore_fetch, a plain C
// function, because in the agent the binding is a separate library whose C++
// interface plugins do not share:
//
//   void* vyacore_fetch(lua_State* L, int idx, const char* type, bool* is_const);
//
// Given the value at stack slot idx and a binding type name, it returns the
// object when the value is a binding userdata of exactly that type, and
// stores in *is_const (when is_const is not null) whether that userdata is a
// constant view. For anything else - a value of another kind, a userdata of
// another library or of another binding type, an object already destroyed -
// it returns null and stores false. It never raises and leaves the stack as
// it was. Types in use:
//
//   "SLB.Dom"                 VyaCore::CDom
//   "SLB.wx.ZipOutputStream"  VyaCore::CZipOutputStream
//
// The type of the returned pointer is the one named; no conversion between
// binding types is offered.
#pragma once
#include <lua.hpp>

#define VYACORE_TYPE_DOM "SLB.Dom"
#define VYACORE_TYPE_ZIP "SLB.wx.ZipOutputStream"

// The userdata of a host object.
struct vyacore_object {
    void* object;              // null once destroyed
    const char* type;          // binding type name; static storage
    void (*destroy)(void*);    // frees object; null in a constant view (its original owns the object)
    int is_const;              // 1 in a constant view
};

extern "C" {

void* vyacore_fetch(lua_State* L, int idx, const char* type, bool* is_const);

// Lua side of the binding, for the vyacore module.

// Declares a binding type with its methods (callable as obj:name(...)).
void vyacore_define_type(lua_State* L, const char* type, const luaL_Reg* methods);
// Pushes a new userdata of `type` that owns no object yet; the caller stores
// the object and its destroy function once it exists, so that a raise
// between the two cannot leak it.
vyacore_object* vyacore_push_empty(lua_State* L, const char* type);
// Pushes a constant view of the object at idx that keeps the original alive;
// returns 0 and pushes nothing when idx holds no host object.
int vyacore_push_const(lua_State* L, int idx);
// The host object at idx, or null.
vyacore_object* vyacore_to_object(lua_State* L, int idx);

}
