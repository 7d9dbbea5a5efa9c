#include "ac/dumps.h"

#include <pthread.h>

#include "ac/filter_set.h"
#include "ac/locks.h"
#include "cache/drift.h"
#include "cache/object_cache.h"
#include "vyacore_binding.h"
#include "vyacore_zip.h"

using VyaCore::CZipOutputStream;

// A zip stream that may be written: a constant one is refused like a missing one.
static CZipOutputStream* writable_zip(lua_State* L)
{
    bool is_const = false;
    auto* zip = static_cast<CZipOutputStream*>(vyacore_fetch(L, 1, VYACORE_TYPE_ZIP, &is_const));
    return is_const ? nullptr : zip;
}

// Adds one table as the entry ac/<name>. Called with the table's lock held,
// so nothing may escape it.
static void add_entry(CZipOutputStream* zip, const void* data, unsigned long size, const char* name) noexcept
{
    try {
        zip->AddFromMemory(data, size, wxString(name, wxConvLibc), wxString("ac", wxConvLibc));
    } catch (...) {
        // A dump is best effort; the archive simply lacks the entry.
    }
}

extern "C" {

int l_CacheDump(lua_State* L)
{
    CZipOutputStream* zip = writable_zip(L);
    if (!zip) return 0;

    pthread_mutex_lock(&vava_cache_lock);
    add_entry(zip, getAcCache(), AC_CACHE_BYTES, "exec_cache");
    pthread_mutex_unlock(&vava_cache_lock);

    // A separate snapshot: the two tables are not consistent with each other.
    pthread_mutex_lock(&drift_lock);
    add_entry(zip, getDriftData(), sizeof(drift_table), "drift");
    pthread_mutex_unlock(&drift_lock);
    return 0;
}

int l_FilterSetDump(lua_State* L)
{
    CZipOutputStream* zip = writable_zip(L);
    if (!zip) return 0;

    FilterCS.Lock();
    add_entry(zip, filterSet, sizeof filterSet, "filterSet");
    FilterCS.Unlock();
    return 0;
}

}  // extern "C"
