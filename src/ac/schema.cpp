#include "ac/schema.h"

#include <string>

#include <wx/file.h>

#include "ac/locks.h"
#include "vyacore_dom.h"

// Written under sqliteWriteOpsCS, except that UpdatedSchema may be called by a
// thread that does not hold it; the atomic accesses keep that harmless.
extern "C" {
int32_t updateSchema = 1;
int32_t updatingSchema = 0;
}

static int32_t get(const int32_t& flag) { return __atomic_load_n(&flag, __ATOMIC_RELAXED); }
static void set(int32_t& flag, int32_t v) { __atomic_store_n(&flag, v, __ATOMIC_RELAXED); }

// Runs under sqliteWriteOpsCS. The first call of the process grants whatever
// the file; when the path cannot be had, later calls do not.
static bool should_grant(const VyaCore::CDom* dom) noexcept
{
    try {
        std::string path = dom->GetPluginFile("ac", "ac.db");
        if (get(updateSchema)) return true;
        if (get(updatingSchema)) return false;
        return !wxFile::Exists(wxString(path.c_str(), wxConvLibc));
    } catch (...) {
        return get(updateSchema) != 0;
    }
}

extern "C" {

int ac_schema_grant(const VyaCore::CDom* dom)
{
    sqlite_ops_lock();
    bool grant = should_grant(dom);
    if (grant) {
        // Returned still holding the lock; ac_schema_updated releases it.
        set(updatingSchema, 1);
        set(updateSchema, 0);
    } else {
        sqlite_ops_unlock();
    }
    return grant;
}

void ac_schema_updated(void)
{
    set(updatingSchema, 0);
    sqlite_ops_unlock();
}

}  // extern "C"
