// Channel status codes, their classes and texts, and the Lua result convention.
#pragma once
#include <lua.hpp>

enum {
    LAC_OK = 0,
    LAC_ERR_GENERIC = -1,
    LAC_ERR_SHUTDOWN = -2,
    LAC_ERR_DISABLED = -3,
    LAC_ERR_TIMEOUT = -4,
    LAC_EAGAIN = 11,
};

enum lac_class { LAC_CLASS_OK, LAC_CLASS_FAILED, LAC_CLASS_RETRY, LAC_CLASS_STOPPED, LAC_CLASS_TIMEOUT };

extern "C" {
int lac_is_error(int status);
enum lac_class lac_explain(int status);
void lac_push_error(lua_State* L, int status);
int l_pushresult(lua_State* L, int status, const char* format, ...);
int l_istimeout(lua_State* L);
}

// Registered in place of a function whose implementation has not landed.
extern "C" int l_notimplemented(lua_State* L);
