#include "ac/dumps.h"
#include "lua/ac_lua.h"
#include "vyacore_binding.h"

using VyaCore::CZipOutputStream;

// A zip stream that may be written: a constant one is refused like a missing one.
static CZipOutputStream* writable_zip(lua_State* L)
{
    bool is_const = false;
    auto* zip = static_cast<CZipOutputStream*>(vyacore_fetch(L, 1, VYACORE_TYPE_ZIP, &is_const));
    return is_const ? nullptr : zip;
}

extern "C" {

int l_CacheDump(lua_State* L)
{
    CZipOutputStream* zip = writable_zip(L);
    if (zip) ac_dump_caches(zip);
    return 0;
}

int l_FilterSetDump(lua_State* L)
{
    CZipOutputStream* zip = writable_zip(L);
    if (zip) ac_dump_filter_set(zip);
    return 0;
}

}  // extern "C"
