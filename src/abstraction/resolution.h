// Fills the event context with the acting process and the event's file as
// absolute, resolved paths split into directory, file name and extension, and
// classifies the process; plus the small helpers the handlers share.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "base/context.h"
#include "base/reply.h"

extern "C" {
// Each returns 0 when the context is resolved (or already was) and 11 when the
// process's executable link cannot be read; the reply record is not written.
int32_t SetProcGetRealPath(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t SetProcGetRealPathFromDirfd(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t SetProcGetRealPathFromDirfdAndOldname(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t SetProcGetFileNameFromPidAndFd(ac_decision_ctx* ctx, ac_reply_msg* reply);

// >= 2 a classified type, 1 no rule matched, 0 none.
int32_t getProcessTypeIndex(ac_decision_ctx* ctx);
uint64_t convertTimeToMillis(int64_t t);
mode_t getCurrentModeBits(ac_decision_ctx* ctx, const char* path);
void procDebug(ac_decision_ctx* ctx);
}
