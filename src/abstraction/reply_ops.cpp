#include "abstraction/counters.h"
#include "abstraction/dispatcher.h"

namespace {

inline int32_t set_reply(ac_decision_ctx* ctx, ac_reply_msg* reply, uint32_t code, ac_stat counter,
                         const char* line, int32_t result)
{
    reply->reply = code;
    reply->id = (uint32_t)ctx->event->id;
    ac_count(counter);
    if (ctx->debugLog) fputs(line, ctx->debugLog);
    return result;
}

}  // namespace

extern "C" {

int32_t replyAllowLua(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_ALLOW, STAT_ac_allow, "REPLY_ALLOW\n", AC_REPLY_HANDOFF);
}

int32_t replyAllowEagain(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_ALLOW, STAT_ac_allow, "REPLY_ALLOW\n", AC_ANSWERED);
}

int32_t replyBlock(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_BLOCK, STAT_ac_block, "REPLY_BLOCK\n", AC_REPLY_HANDOFF);
}

int32_t replyIgnoreLua(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_IGNORE, STAT_ac_ignore, "REPLY_IGNORE_LUA\n", AC_REPLY_HANDOFF);
}

int32_t replyIgnoreEagain(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_IGNORE, STAT_ac_ignore, "REPLY_IGNORE_EAGAIN\n", AC_ANSWERED);
}

int32_t replyTrackfile(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_TRACKFILE, STAT_ac_trackfile, "REPLY_TRACKFILE\n", AC_ANSWERED);
}

int32_t replyError(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return set_reply(ctx, reply, REPLY_ERROR, STAT_ac_error, "REPLY_ERROR\n", AC_ANSWERED);
}

}  // extern "C"
