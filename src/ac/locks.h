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
