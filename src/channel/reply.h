// Replies to the driver.
#pragma once
#include "base/context.h"
#include "base/reply.h"
#include "channel/handle.h"

extern "C" {
int lac_reply(lac_handle* h, const ac_reply_msg* msg);
// Sends the fast path's reply and notes it in the context; 0 when there is none.
int ac_reply(lac_handle* h, const ac_reply_msg* msg, ac_decision_ctx* ctx);
}
