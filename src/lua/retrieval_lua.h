// get and gettest: a channel pass and the event table it leaves for Lua.
#pragma once
#include <lua.hpp>

#include "channel/retrieval.h"

// A name too long for the Lua table; raised by the caller once nothing is held.
struct lac_name_error {
    const char* key;
    size_t length;
};

extern "C" {
int lac_get(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err);
// lac_get over storage given by the caller, whatever it holds (for tests).
int lac_get_pass(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err,
                 lac_pass_storage* s);
int lac_gettest(lua_State* L, lac_handle* h, lac_name_error* err);
}
