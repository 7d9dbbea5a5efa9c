// The engine's counters for the status snapshot, read from a Lua state of the
// status thread's own: the counter functions take only their tables' locks, so
// the workers run on undisturbed.
#include <link.h>
#include <lua.hpp>

#include <cstring>

#include "driver/host_mode.h"
#include "json_writer.h"
#include "status_snapshot.h"

namespace {

// Loaded once with the workers' module directory; returns the collector,
// which gives a table: modules_error (text or nil), counters and driver, both
// lists of {name, value} pairs sorted by name (value a scalar or such a list).
const char collector_source[] = R"(
local dir = ...
package.cpath = dir .. "/?.so;" .. package.cpath
for _, name in ipairs{"lacdc", "ac"} do pcall(require, name) end  -- loaded now, in the thread that makes the state
local groups = {{"lacdc", "CacheStats"}, {"lacdc", "DriftStats"}, {"lacdc", "EventAbstractionStats"},
  {"lacdc", "BindStats"}, {"ac", "ProcCacheStats"}, {"ac", "FilterSetStats"}, {"ac", "GetfilledPositionsCount"}}
local function pairs_of(v)
  if type(v) ~= "table" then return v end
  local list = {}
  for k, x in pairs(v) do list[#list + 1] = {tostring(k), pairs_of(x)} end
  table.sort(list, function(a, b) return a[1] < b[1] end)
  return list
end
local function call(m, name) return m[name]() end
return function(with_driver)
  local mods, errs, counters = {}, {}, {}
  for _, name in ipairs{"lacdc", "ac"} do
    local ok, m = pcall(require, name)
    if ok and type(m) == "table" then mods[name] = m else errs[#errs + 1] = tostring(m):match("^[^\n]*") end
  end
  for _, g in ipairs(groups) do
    if mods[g[1]] then
      local ok, v = pcall(call, mods[g[1]], g[2])
      counters[#counters + 1] = {g[2], pairs_of(ok and v or {error = tostring(v)})}
    end
  end
  local driver
  if with_driver then
    local ok, st = pcall(require, "vavasim")
    if ok then ok, st = pcall(call, st, "status") end
    if ok and type(st) == "table" then st.kind = "simulated" else st = {error = tostring(st)} end
    driver = pairs_of(st)
  end
  return {modules_error = errs[1] and table.concat(errs, "; "), counters = counters, driver = driver}
end
)";

// The simulated driver counts only when preloaded into this process (or linked in).
int find_sim(dl_phdr_info* info, size_t, void* found)
{
    const char* name = info->dlpi_name;
    size_t n = name ? strlen(name) : 0;
    const char lib[] = "libvavasim.so";
    if (n >= sizeof lib - 1 && strcmp(name + n - (sizeof lib - 1), lib) == 0) *static_cast<bool*>(found) = true;
    return 0;
}

bool sim_driver_present()
{
    bool found = false;
    dl_iterate_phdr(find_sim, &found);
    return found;
}

void write_scalar(lua_State* L, int idx, JsonWriter& j)
{
    size_t n;
    switch (lua_type(L, idx)) {
    case LUA_TNUMBER: j.number(lua_tonumber(L, idx)); break;
    case LUA_TBOOLEAN: j.boolean(lua_toboolean(L, idx)); break;
    case LUA_TSTRING: {
        const char* s = lua_tolstring(L, idx, &n);
        j.string(s, n);
        break;
    }
    default: j.null();
    }
}

// Writes the pair list at the top of the stack as an object (a scalar as it is).
void write_pairs(lua_State* L, JsonWriter& j)
{
    if (!lua_istable(L, -1)) return write_scalar(L, -1, j);
    j.begin_object();
    int n = (int)lua_rawlen(L, -1);
    for (int i = 1; i <= n; i++) {
        lua_rawgeti(L, -1, i);
        lua_rawgeti(L, -1, 1);
        const char* key = lua_tostring(L, -1);
        j.key(key ? key : "?");
        lua_rawgeti(L, -2, 2);
        write_pairs(L, j);
        lua_pop(L, 3);
    }
    j.end_object();
}

}  // namespace

lua_State* new_status_state(const std::string& exe_dir)
{
    lua_State* L = luaL_newstate();
    if (!L) return nullptr;
    luaL_openlibs(L);
    if (luaL_loadbuffer(L, collector_source, sizeof collector_source - 1, "=status") != LUA_OK) {
        lua_close(L);
        return nullptr;
    }
    lua_pushlstring(L, exe_dir.data(), exe_dir.size());
    if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
        lua_close(L);
        return nullptr;
    }
    lua_setglobal(L, "collect");
    return L;
}

namespace {

// In host mode, the driver's own status (watched mounts, held events,
// deadlines, overflows).
void write_host_driver(JsonWriter& j)
{
    char buf[4096];
    size_t n = acdriver_status_json(buf, sizeof buf);
    if (n >= sizeof buf || !strstr(buf, "\"on\":true")) return;
    j.key("driver");
    j.raw(buf, n);
}

}  // namespace

void write_engine_status(lua_State* L, JsonWriter& j)
{
    lua_getglobal(L, "collect");
    lua_pushboolean(L, sim_driver_present());
    if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
        j.key("modules_error");
        write_scalar(L, -1, j);
        lua_pop(L, 1);
        return;
    }
    lua_getfield(L, -1, "modules_error");
    if (!lua_isnil(L, -1)) {
        j.key("modules_error");
        write_scalar(L, -1, j);
    }
    lua_getfield(L, -2, "counters");
    j.key("counters");
    write_pairs(L, j);
    lua_getfield(L, -3, "driver");
    if (!lua_isnil(L, -1)) {
        j.key("driver");
        write_pairs(L, j);
    } else {
        write_host_driver(j);
    }
    lua_pop(L, 4);
    lua_gc(L, LUA_GCSTEP, 0);
}
