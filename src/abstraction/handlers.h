// Fast-path handlers: each takes the decision context and the reply record and
// returns AC_HANDOFF, AC_REPLY_HANDOFF or AC_ANSWERED.
#pragma once
#include "base/context.h"
#include "base/reply.h"

extern "C" {
// Execution decisions
int32_t EventOpenPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventExecPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventMmapPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int checkAutoAuthorize(ac_decision_ctx* ctx);

// File changes
int32_t EventOpenPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventClosePre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventDupPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventDupPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventChmodPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventChownPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventChmodPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventFchmodPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventChownPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventFchownPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventRenamePost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventUnlinkPost(ac_decision_ctx* ctx, ac_reply_msg* reply);

// Types the dispatcher does not route; kept for the events they describe.
int32_t EventCreatePost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventCleanupPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventSetinfoPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventSetinfoPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventSetsecurityPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventSetsecurityPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventLinkPre(ac_decision_ctx* ctx, ac_reply_msg* reply);
int32_t EventLinkPost(ac_decision_ctx* ctx, ac_reply_msg* reply);
}
