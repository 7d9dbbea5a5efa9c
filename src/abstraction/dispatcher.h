// Entry point of the fast path and the reply operations its handlers share.
#pragma once
#include <cstdint>

#include "base/context.h"
#include "base/reply.h"

typedef int32_t (*ac_handler)(ac_decision_ctx* ctx, ac_reply_msg* reply);

extern "C" {
int32_t AbstractEvent(ac_reply_msg* reply, ac_decision_ctx* ctx);
void StatHandler(int32_t result);

int32_t replyAllowLua(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t replyAllowEagain(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t replyBlock(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t replyIgnoreLua(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t replyIgnoreEagain(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t replyTrackfile(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t replyError(ac_decision_ctx* ctx, ac_reply_msg* reply);
}
