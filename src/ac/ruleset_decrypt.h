// Rule-set files: read through file, cipher and zlib filters into one string.
#pragma once
#include <lua.hpp>

// Negative reads are tried again at most this many times in a row.
#define AC_RULESET_READ_RETRIES 16

extern "C" int l_DecryptRuleset(lua_State* L);
