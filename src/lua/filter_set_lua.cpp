#include "ac/filter_set.h"
#include "lua/ac_lua.h"

extern "C" {

int l_AddToFilterSet(lua_State* L)
{
    FilterSetAdd(filter_set_value(luaL_checknumber(L, 1)));
    return 0;
}

int l_IsLikelyInSet(lua_State* L)
{
    // Converting cannot raise, and a bypassed query simply ignores the value.
    lua_pushboolean(L, FilterSetQuery(filter_set_value(lua_tonumberx(L, 1, nullptr))));
    return 1;
}

int l_ClearFilterSet(lua_State* L)
{
    FilterSetClear();
    return 0;
}

int l_SetBypassFilterState(lua_State* L)
{
    luaL_argcheck(L, lua_type(L, 1) == LUA_TBOOLEAN, 1, "boolean expected");
    FilterSetBypass(lua_toboolean(L, 1) ? 1 : 0);
    return 0;
}

int l_GetfilledPositionsCount(lua_State* L)
{
    lua_pushnumber(L, (lua_Number)filledPositionsCount.load(std::memory_order_relaxed));
    return 1;
}

int l_FilterSetStats(lua_State* L)
{
    ac_filter_set_snapshot s;
    FilterSetSnapshot(&s);
    const ac_filter_set_counters& c = s.counters;
    const struct {
        const char* key;
        uint32_t value;
    } fields[] = {
        {"minSize", (uint32_t)s.minSize}, {"maxSize", (uint32_t)s.maxSize}, {"count", s.count},
        {"bypassEnabled", s.bypass},      {"add", c.add},                   {"bypassed", c.bypassed},
        {"clear", c.clear},               {"hit", c.hit},                   {"miss", c.miss},
        {"oorange", c.oorange},
    };
    lua_createtable(L, 0, (int)(sizeof fields / sizeof fields[0]));
    for (const auto& f : fields) {
        lua_pushnumber(L, (lua_Number)f.value);
        lua_setfield(L, -2, f.key);
    }
    return 1;
}

}  // extern "C"
