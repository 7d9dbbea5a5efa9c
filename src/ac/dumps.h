// Diagnostic dumps of module ac's tables into the host's zip stream.
#pragma once
#include <lua.hpp>

extern "C" {
// Entries "ac/exec_cache" (object cache) and "ac/drift" (drift tracker).
int l_CacheDump(lua_State* L);
// Entry "ac/filterSet".
int l_FilterSetDump(lua_State* L);
}
