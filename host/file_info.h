// Lua module acagent.files: what the trust policy needs to know of a file
// without reading it (identity for its verdict store, real names, listings).
#pragma once

struct lua_State;

int open_file_info_module(lua_State* L);

// Registers opener as module name in package.preload of L.
void preload(lua_State* L, const char* name, int (*opener)(lua_State*));
// Registers acagent.files.
void preload_file_info(lua_State* L);
