#include "json/json_lua.h"

#include "channel/status.h"

extern "C" int jsonL_decode(lua_State* L) { return l_notimplemented(L); }
