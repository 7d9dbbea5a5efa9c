// Event retrieval: wait, read, decide in the fast path, reply and log; what is
// left goes to the caller (the Lua glue hands it to the policy code).
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "base/context.h"
#include "base/event_record.h"
#include "base/reply.h"
#include "channel/handle.h"

struct lac_get_options {
    int32_t ac_on;
    int32_t lockdown;
    int32_t logMode;
    const char* basedir;
    int32_t maintenanceMode;
    uint64_t startTime;
};

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

// Internal status of a pass: the record holds a name longer than its field
// (lac_overlong_name tells which); the fast path did not see the event.
constexpr int LAC_NAME_TOO_LONG = -100;

extern "C" {
// "name" or "oldname" when that name of the record, as its type carries it,
// is longer than the record's field (the fault marker aside), with the
// length; null when both are whole.
const char* lac_overlong_name(const ac_event_record* rec, uint32_t* len);
int lac_poll(lac_handle* h, int32_t* exit_fd, int timeout);
// Reads one record (an end of file is LAC_ERR_DISABLED: the driver has gone
// away); the bytes the read did not fill are zero, as if the
// record had been zeroed before the read. 0 or an errno value.
int lac_read_record(lac_handle* h, ac_event_record* rec, ssize_t* got);
// One pass over the storage, whatever it holds: 0 when the event in it goes
// to the policy code, LAC_EAGAIN when it was answered or skipped,
// LAC_NAME_TOO_LONG, or the read error.
int lac_decide_pass(lac_handle* h, const lac_get_options* opt, lac_pass_storage* s);
}
