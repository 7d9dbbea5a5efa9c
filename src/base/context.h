// The decoded event and the per-event decision context shared by every
// fast-path handler. Both are owned by the caller and zeroed for every event
// (the channel's get pass clears only the bytes that may be read before they
// are written, to the same effect: see lac_pass_storage in channel/retrieval.h).
#pragma once
#include <cstdint>
#include <cstdio>

#include "base/paths.h"

struct ac_event_info {
    uint32_t type;
    int32_t pid;
    uint64_t id;
    int32_t rc;
    int32_t fd;
    int32_t dirfd;
    int32_t oldfd;
    int32_t dirty;
    uint64_t flags;
    uint64_t mode;
    uint64_t previousMode;
    char name[AC_PATH_MAX];
    char oldname[AC_PATH_MAX];
    int32_t action_type;
    const char* action_type_str;
    const char* operationType;
    char newExtension[AC_EXT_MAX];
};

struct ac_decision_ctx {
    ac_event_info* event;
    int64_t pid;
    uint64_t size;
    uint64_t processTypeIndex;
    uint32_t nocache;
    uint32_t isexec;
    int32_t cache_type;
    char ruleset[AC_PATH_MAX];
    uint32_t bind_action;
    char processName[AC_PATH_MAX];
    char processExtension[AC_EXT_MAX];
    char processPath[AC_PATH_MAX];
    char path[AC_PATH_MAX];
    char processFileName[AC_PATH_MAX];
    char fileName[AC_PATH_MAX];
    char fileExtension[AC_EXT_MAX];
    char realpath[AC_PATH_MAX];
    uint32_t ac_on;
    uint32_t lockdown;
    const char* basedir;
    uint32_t maintenanceMode;
    uint64_t authorizeStartTime;
    uint32_t isdrift;
    uint32_t newfilter;
    FILE* debugLog;
    FILE* eventsLog;
};

// Debug lines cost one null test when the log is closed.
#define AC_DEBUG(ctx, ...)                                          \
    do {                                                            \
        if ((ctx)->debugLog) fprintf((ctx)->debugLog, __VA_ARGS__); \
    } while (0)

// Result contract of the dispatcher and every handler.
enum : int32_t {
    AC_HANDOFF = 0,       // no reply; Lua decides
    AC_REPLY_HANDOFF = 1, // reply set; send it and hand the event to Lua too
    AC_ANSWERED = 11,     // reply set; send it and fetch the next event
};
