// Event retrieval: wait, read, decide in the fast path, log, hand to Lua.
#pragma once
#include <cstdint>
#include <lua.hpp>

#include "abstraction/context.h"
#include "channel/event_record.h"
#include "channel/handle.h"
#include "channel/reply.h"

struct lac_get_options {
    int32_t ac_on;
    int32_t lockdown;
    int32_t logMode;
    const char* basedir;
    int32_t maintenanceMode;
    uint64_t startTime;
};

// A name too long for the Lua table; raised by the caller once nothing is held.
struct lac_name_error {
    const char* key;
    size_t length;
};

constexpr int LAC_NAME_TOO_LONG = -100;  // internal: see lac_name_error

// The storage of one get pass: the record read, the decoded event, the
// decision context and the reply. Each pass behaves as if the whole storage
// were zeroed before the record is read; it clears only the bytes it may read
// before writing them (every field, and the first bytes of the large text
// buffers), which has the same outcome for every event.
struct lac_pass_storage {
    ac_event_record rec;
    ac_event_info info;
    ac_decision_ctx ctx;
    ac_reply_msg reply;
};

extern "C" {
int lac_poll(lac_handle* h, int32_t* exit_fd, int timeout);
int lac_get(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err);
// lac_get over storage given by the caller, whatever it holds (for tests).
int lac_get_pass(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err,
                 lac_pass_storage* s);
int lac_gettest(lua_State* L, lac_handle* h, lac_name_error* err);
int l_get(lua_State* L);
int l_gettest(lua_State* L);
}
