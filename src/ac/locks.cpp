#include "ac/locks.h"

// Defined in this order so that they are created in this order at load.
wxMutex FilterCS(wxMUTEX_RECURSIVE);
wxMutex StatsCS(wxMUTEX_RECURSIVE);
wxMutex sqliteWriteOpsCS(wxMUTEX_RECURSIVE);
wxMutex autoAuthorizeCommandCS(wxMUTEX_RECURSIVE);
wxMutex mockLock(wxMUTEX_RECURSIVE);

extern "C" {
int32_t mockdriver = 0;
}

// Levels of sqliteWriteOpsCS held by this thread.
static thread_local int sqlite_ops_depth = 0;

void sqlite_ops_lock()
{
    sqliteWriteOpsCS.Lock();
    sqlite_ops_depth++;
}

void sqlite_ops_unlock()
{
    if (sqlite_ops_depth == 0) return;
    sqlite_ops_depth--;
    sqliteWriteOpsCS.Unlock();
}
