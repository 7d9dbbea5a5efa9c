#include "ac/dumps.h"

#include <pthread.h>

#include "ac/filter_set.h"
#include "ac/locks.h"
#include "cache/drift.h"
#include "cache/object_cache.h"
#include "vyacore_zip.h"

using VyaCore::CZipOutputStream;

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

void ac_dump_caches(CZipOutputStream* zip)
{
    pthread_mutex_lock(&vava_cache_lock);
    add_entry(zip, getAcCache(), AC_CACHE_BYTES, "exec_cache");
    pthread_mutex_unlock(&vava_cache_lock);

    // A separate snapshot: the two tables are not consistent with each other.
    pthread_mutex_lock(&drift_lock);
    add_entry(zip, getDriftData(), sizeof(drift_table), "drift");
    pthread_mutex_unlock(&drift_lock);
}

void ac_dump_filter_set(CZipOutputStream* zip)
{
    FilterCS.Lock();
    add_entry(zip, filterSet, sizeof filterSet, "filterSet");
    FilterCS.Unlock();
}

}  // extern "C"
