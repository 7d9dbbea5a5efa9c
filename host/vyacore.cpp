// Lua module "vyacore": creates host objects for tests the way the agent's
// host hands them to its Lua code.
#include "vyacore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "vyacore_binding.h"
#include "vyacore_dom.h"
#include "vyacore_zip.h"

using VyaCore::CDom;
using VyaCore::CZipOutputStream;

// Host calls that allocate are wrapped so that no exception reaches Lua and no
// C++ object is alive when these functions raise.

static void destroy_dom(void* p) { delete static_cast<CDom*>(p); }
static void destroy_zip(void* p) { delete static_cast<CZipOutputStream*>(p); }

static CDom* new_dom(const char* root) noexcept
{
    try {
        return new CDom(root);
    } catch (...) {
        return nullptr;
    }
}

// The path as a malloc'd text, or null.
static char* plugin_file(const CDom* dom, const char* plugin, const char* file) noexcept
{
    try {
        std::string path = dom->GetPluginFile(plugin, file);
        return strdup(path.c_str());
    } catch (...) {
        return nullptr;
    }
}

static bool close_zip(CZipOutputStream* zip) noexcept
{
    try {
        return zip->Close();
    } catch (...) {
        return false;
    }
}

static int l_dom(lua_State* L)
{
    const char* root = luaL_checkstring(L, 1);
    vyacore_object* box = vyacore_push_empty(L, VYACORE_TYPE_DOM);
    box->object = new_dom(root);
    if (!box->object) return luaL_error(L, "out of memory");
    box->destroy = destroy_dom;
    return 1;
}

static int l_zip(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    vyacore_object* box = vyacore_push_empty(L, VYACORE_TYPE_ZIP);
    box->object = CZipOutputStream::Create(path);
    if (!box->object) return luaL_error(L, "cannot create %s: %s", path, strerror(errno));
    box->destroy = destroy_zip;
    return 1;
}

static int l_const(lua_State* L)
{
    if (!vyacore_push_const(L, 1)) return luaL_argerror(L, 1, "host object expected");
    return 1;
}

static int l_profiler_counts(lua_State* L)
{
    unsigned long blockfilter, running;
    vyacore_profiler_counts(&blockfilter, &running);
    lua_pushnumber(L, (lua_Number)blockfilter);
    lua_pushnumber(L, (lua_Number)running);
    return 2;
}

// d:GetPluginFile(plugin, file)
static int m_GetPluginFile(lua_State* L)
{
    auto* dom = static_cast<CDom*>(vyacore_fetch(L, 1, VYACORE_TYPE_DOM, nullptr));
    if (!dom) return luaL_argerror(L, 1, "Dom object expected");
    const char* plugin = luaL_checkstring(L, 2);
    const char* file = luaL_checkstring(L, 3);
    char* path = plugin_file(dom, plugin, file);
    if (!path) return luaL_error(L, "out of memory");
    lua_pushstring(L, path);
    free(path);
    return 1;
}

// z:close() -> true when the whole archive was written; false when it was
// closed already or writing failed.
static int m_close(lua_State* L)
{
    bool is_const;
    auto* zip = static_cast<CZipOutputStream*>(vyacore_fetch(L, 1, VYACORE_TYPE_ZIP, &is_const));
    if (!zip) return luaL_argerror(L, 1, "ZipOutputStream object expected");
    if (is_const) return luaL_error(L, "close: the zip stream is constant");
    lua_pushboolean(L, close_zip(zip));
    return 1;
}

static const luaL_Reg dom_methods[] = {
    {"GetPluginFile", m_GetPluginFile},
    {nullptr, nullptr},
};

static const luaL_Reg zip_methods[] = {
    {"close", m_close},
    {nullptr, nullptr},
};

static const luaL_Reg vyacore_fns[] = {
    {"dom", l_dom},
    {"zip", l_zip},
    {"const", l_const},
    {"profiler_counts", l_profiler_counts},
    {nullptr, nullptr},
};

extern "C" int luaopen_vyacore(lua_State* L)
{
    vyacore_define_type(L, VYACORE_TYPE_DOM, dom_methods);
    vyacore_define_type(L, VYACORE_TYPE_ZIP, zip_methods);
    luaL_newlib(L, vyacore_fns);
    return 1;
}
