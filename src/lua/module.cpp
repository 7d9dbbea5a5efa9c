// The module file itself: ac.so, also loaded as lacdc.so and vava.so (links to
// it). The engine comes from its static libraries; this file adds the third
// opener, and the link keeps luaopen_ac, which nothing here calls.
#include "lua/openers.h"

extern "C" int luaopen_vava(lua_State* L) { return luaopen_lacdc(L); }
