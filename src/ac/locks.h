// The recursive locks of module ac; they live from load to unload of the module file.
#pragma once
#include <cstdint>
#include <wx/thread.h>

extern wxMutex FilterCS;
extern wxMutex StatsCS;
extern wxMutex sqliteWriteOpsCS;
extern wxMutex autoAuthorizeCommandCS;
extern wxMutex mockLock;

extern "C" int32_t mockdriver;

// sqliteWriteOpsCS as the policy code takes it (EnterCriticalSection, a granted
// ShouldUpdateSchema). A release by a thread that holds no level is ignored
// rather than handed to the mutex: the lock is left as it was either way.
void sqlite_ops_lock();
void sqlite_ops_unlock();
