#include "ac/schema.h"
#include "lua/ac_lua.h"
#include "vyacore_binding.h"
#include "vyacore_dom.h"

extern "C" {

int l_ShouldUpdateSchema(lua_State* L)
{
    bool is_const = false;
    auto* dom = static_cast<const VyaCore::CDom*>(vyacore_fetch(L, 1, VYACORE_TYPE_DOM, &is_const));
    if (!dom || is_const) return luaL_argerror(L, 1, "Dom object expected");
    lua_pushboolean(L, ac_schema_grant(dom));
    return 1;
}

int l_UpdatedSchema(lua_State* L)
{
    ac_schema_updated();
    return 0;
}

}  // extern "C"
