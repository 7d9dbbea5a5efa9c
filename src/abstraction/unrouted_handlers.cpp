// Handlers of event types the dispatcher does not route (create-post,
// cleanup-pre and the Windows set-info, set-security and link events). They
// read the process name themselves and ignore a failure to read it.
#include <cinttypes>
#include <cstring>

#include "abstraction/counters.h"
#include "abstraction/dispatcher.h"
#include "abstraction/handlers.h"
#include "abstraction/resolution.h"
#include "base/event_record.h"
#include "cache/proc_info.h"
#include "cache/process_types.h"
#include "cache/trusted_paths.h"

namespace {

void read_process_name(ac_decision_ctx* ctx) { GetProcNameFromPid((unsigned long)ctx->event->pid, ctx->processName); }

// The event's name becomes the file the event is about.
void take_name_as_path(ac_decision_ctx* ctx)
{
    ac_copy_path(ctx->realpath, ctx->event->name);
    splitpath(ctx->path, ctx->fileName, ctx->realpath);
    extract_file_extension(ctx->fileName, ctx->fileExtension, '.');
}

void mark_update(ac_decision_ctx* ctx)
{
    ctx->event->action_type = TYPE_CREATE;  // possibly new executable content
    ctx->event->operationType = "update";
}

}  // namespace

extern "C" {

int32_t EventCreatePost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_CREATE_POST\n");
    if (ev->dirty == 0) {
        ac_count(STAT_open_post_eagain);
        return replyIgnoreEagain(ctx, reply);
    }
    ac_copy_path(ctx->realpath, ev->name);
    mark_update(ctx);
    AC_DEBUG(ctx, "For %s mode=%" PRIu64 " flags=%" PRIu64 "\n", ev->name, ev->mode, ev->flags);
    ac_count(STAT_open_post_handoff);
    return replyIgnoreLua(ctx, reply);
}

int32_t EventCleanupPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    if (SetProcGetRealPath(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_close_pre_eagain);
        return AC_ANSWERED;
    }
    char local[AC_PATH_MAX] = "";
    strip_first_of(ev->name, local, '\\');
    AC_DEBUG(ctx, "EVENT_CLEANUP_PRE evt.dirty = %d, name = %s\n", ev->dirty, local);
    if (ev->dirty == 0 || strchr(local, ':')) {
        ac_count(STAT_close_pre_eagain);
        return replyIgnoreEagain(ctx, reply);
    }
    take_name_as_path(ctx);
    uint64_t type = (uint64_t)(int64_t)getProcessTypeIndex(ctx);
    if (IsInterpreter(type) && IsExtensionInterpreted(type, ctx->fileExtension) &&
        IsTrustedPath(type, ctx->path, ctx->debugLog)) {
        ac_count(STAT_trusted_drift);
        ac_count(STAT_close_pre_eagain);
        return replyAllowEagain(ctx, reply);
    }
    ac_count(STAT_close_pre_handoff);
    ev->action_type = TYPE_CREATE;  // possibly new executable content
    return replyIgnoreLua(ctx, reply);
}

int32_t EventSetinfoPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "Windows EVENT_SETINFO_PRE\n");
    read_process_name(ctx);
    ac_count(STAT_setinfo_pre_handoff);
    return replyIgnoreEagain(ctx, reply);
}

int32_t EventSetinfoPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    const ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "Windows EVENT_SETINFO_POST for %s mode=%" PRIu64 " flags=%" PRIu64 "\n", ev->name, ev->mode,
             ev->flags);
    read_process_name(ctx);
    take_name_as_path(ctx);
    ac_count(STAT_setinfo_post_handoff);
    mark_update(ctx);
    return AC_HANDOFF;
}

int32_t EventSetsecurityPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "Windows EVENT_SETSECURITY_PRE for %s\n", ctx->event->name);
    read_process_name(ctx);
    ac_count(STAT_setsecurity_pre_handoff);
    return replyIgnoreEagain(ctx, reply);
}

int32_t EventSetsecurityPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    const ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "Windows EVENT_SETSECURITY_POST for %s mode=%" PRIu64 " flags=%" PRIu64 "\n", ev->name, ev->mode,
             ev->flags);
    read_process_name(ctx);
    take_name_as_path(ctx);
    ac_count(STAT_setsecurity_post_handoff);
    mark_update(ctx);
    return replyIgnoreLua(ctx, reply);
}

int32_t EventLinkPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "Windows EVENT_LINK_PRE\n");
    read_process_name(ctx);
    ac_count(STAT_link_pre_handoff);
    return replyIgnoreEagain(ctx, reply);
}

int32_t EventLinkPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "Windows EVENT_LINK_POST\n");
    read_process_name(ctx);
    take_name_as_path(ctx);
    ac_count(STAT_link_post_handoff);
    return AC_HANDOFF;
}

}  // extern "C"
