// Exec, script-open and executable-mmap events, decided from the object cache.
#include <sys/stat.h>
#include <sys/time.h>

#include <cinttypes>

#include "abstraction/counters.h"
#include "abstraction/dispatcher.h"
#include "abstraction/handlers.h"
#include "abstraction/resolution.h"
#include "base/event_record.h"
#include "cache/object_cache.h"
#include "cache/proc_info.h"
#include "cache/process_cache.h"
#include "cache/process_types.h"
#include "cache/trusted_paths.h"

namespace {

// The eagain/handoff counter pair of one handler.
struct counters {
    ac_stat eagain;
    ac_stat handoff;
};

constexpr counters open_pre{STAT_open_pre_eagain, STAT_open_pre_handoff};
constexpr counters exec_pre{STAT_exec_pre_eagain, STAT_exec_pre_handoff};
constexpr counters mmap_pre{STAT_mmap_pre_eagain, STAT_mmap_pre_handoff};

int32_t answered(ac_stat counter, int32_t (*op)(ac_decision_ctx*, ac_reply_msg*), ac_decision_ctx* ctx,
                 ac_reply_msg* reply)
{
    ac_count(counter);
    return op(ctx, reply);
}

int lookup(ac_decision_ctx* ctx)
{
    return IsCached(ctx->realpath, &ctx->cache_type, ctx->ruleset, &ctx->size, &ctx->isexec);
}

// The shared end of the three handlers once the object cache has answered.
int32_t verdict_step(ac_decision_ctx* ctx, ac_reply_msg* reply, counters c)
{
    AC_DEBUG(ctx, "Retrieve cache type %d with size %" PRIu64 " and isexec %d for %s\n", ctx->cache_type, ctx->size,
             (int)ctx->isexec, ctx->realpath);
    switch (ctx->cache_type) {
    case AC_CACHE_APPROVED: return answered(c.eagain, replyAllowEagain, ctx, reply);
    case AC_CACHE_UNRECOGNIZED:
        if (ctx->lockdown != 1) return answered(c.handoff, replyAllowLua, ctx, reply);
        if (checkAutoAuthorize(ctx)) return answered(c.eagain, replyAllowEagain, ctx, reply);
        return answered(c.handoff, replyBlock, ctx, reply);
    case AC_CACHE_BLOCK: return answered(c.handoff, replyBlock, ctx, reply);
    default: ac_count(c.handoff); return AC_HANDOFF;
    }
}

uint64_t now_millis()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

// The exec handler's own classification: a miss that matches no rule keeps
// type 1 without storing it; 0 means unclassified.
uint64_t classify_caller(ac_decision_ctx* ctx)
{
    uint64_t type = GetProcess((uint64_t)ctx->pid, ctx->processFileName);
    ctx->processTypeIndex = type;
    if (type) {
        AC_DEBUG(ctx, "Retrieve ProcessTypeIndex %" PRIu64 " from cache under %s for %s\n", type,
                 ctx->processFileName, ctx->realpath);
        return type;
    }
    type = GetProcessInterpreterType(ctx);
    if (type >= 2) {
        ctx->processTypeIndex = type;
        if (!ctx->nocache) {
            AddProcess((uint64_t)ctx->pid, type, ctx->processFileName);
            AC_DEBUG(ctx, "Add ProcessTypeIndex %" PRIu64 " to cache under %s for %s\n", type, ctx->processFileName,
                     ctx->realpath);
        }
    }
    return type;
}

}  // namespace

extern "C" {

int checkAutoAuthorize(ac_decision_ctx* ctx)
{
    if (ctx->maintenanceMode != 1) return 0;
    AC_DEBUG(ctx, "Maintenance mode set, check for auto-authorize\n");
    struct stat st;
    if (lstat(ctx->realpath, &st) != 0) {
        AC_DEBUG(ctx, "Error getting attributes of path '%s': Failed stat\n", ctx->realpath);
        return 0;
    }
    uint64_t now = now_millis();
    uint64_t createTime = convertTimeToMillis((int64_t)st.st_ctime);
    uint64_t modifiedTime = convertTimeToMillis((int64_t)st.st_mtime);
    AC_DEBUG(ctx, "Time Vals: startTime=%" PRIu64 ", time=%" PRIu64 ", createTime=%" PRIu64 ", modifiedTime=%" PRIu64 "\n",
             ctx->authorizeStartTime, now, createTime, modifiedTime);
    if (now <= (createTime > modifiedTime ? createTime : modifiedTime)) return 0;
    if (createTime > ctx->authorizeStartTime || modifiedTime > ctx->authorizeStartTime) {
        ac_count(STAT_RunAllowedAutoAuthorize);
        AC_DEBUG(ctx, "Unrecognized process %s approved because create/modified time is after authorize start time\n",
                 ctx->realpath);
        return 1;
    }
    return 0;
}

int32_t EventOpenPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    if (SetProcGetRealPath(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_open_pre_eagain);
        return AC_ANSWERED;
    }
    const ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_OPEN_PRE for %s\nEvent %" PRIu64 " mode=%" PRIu64 ", flags=%" PRIu64 "\n", ctx->realpath,
             ev->id, ev->mode, ev->flags);
    uint64_t type = (uint64_t)(int64_t)getProcessTypeIndex(ctx);
    if (type == 0 || !IsInterpreter(type)) return answered(STAT_open_pre_eagain, replyIgnoreEagain, ctx, reply);
    if (!IsExtensionInterpreted(type, ctx->fileExtension) && !IsOnCommandLine((uint64_t)ctx->pid, ctx->processFileName))
        return answered(STAT_open_pre_eagain, replyIgnoreEagain, ctx, reply);
    if (lookup(ctx) == AC_CACHE_NOT_EVALUABLE) return answered(STAT_open_pre_eagain, replyIgnoreEagain, ctx, reply);

    ctx->event->action_type_str = "SCRIPT_EXECUTION";
    switch (ctx->cache_type) {
    case AC_CACHE_APPROVED:
        ac_count(STAT_script_execution);
        AC_DEBUG(ctx, "SCRIPT_EXECUTION | Found in allow cache\n");
        return verdict_step(ctx, reply, open_pre);
    case AC_CACHE_UNRECOGNIZED: ac_count(STAT_script_execution); return verdict_step(ctx, reply, open_pre);
    case AC_CACHE_BLOCK: return verdict_step(ctx, reply, open_pre);
    default: break;
    }
    if (IsTrustedPath(type, ctx->path, ctx->debugLog)) {
        ac_count(STAT_run_allowed_trusted_path);
        ac_count(STAT_script_execution);
        return answered(STAT_open_pre_eagain, replyAllowEagain, ctx, reply);
    }
    ac_count(STAT_script_execution);
    ac_count(STAT_open_pre_handoff);
    AC_DEBUG(ctx, "SCRIPT_EXECUTION | Not found in reply cache\n");
    return AC_HANDOFF;
}

int32_t EventExecPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_EXEC_PRE\n");
    if (SetProcGetRealPath(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_exec_pre_eagain);
        return AC_ANSWERED;
    }
    ctx->event->action_type = TYPE_PROC_START;
    uint64_t type = classify_caller(ctx);
    if (type != 0 && IsPrelink(type)) ac_count(STAT_run_prelink);
    if (IsTrustedPath(type, ctx->path, ctx->debugLog)) {
        ac_count(STAT_run_allowed_trusted_path);
        return answered(STAT_exec_pre_eagain, replyAllowEagain, ctx, reply);
    }
    if (lookup(ctx) == AC_CACHE_NOT_EVALUABLE) {
        AC_DEBUG(ctx, "Error: Failed to stat file %s\n", ctx->realpath);
        return answered(STAT_exec_pre_eagain, replyIgnoreEagain, ctx, reply);
    }
    ac_count(STAT_run_program);
    return verdict_step(ctx, reply, exec_pre);
}

int32_t EventMmapPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_MMAP_PRE\n");
    if (SetProcGetFileNameFromPidAndFd(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_mmap_pre_eagain);
        return AC_ANSWERED;
    }
    ac_count(STAT_run_program);
    ctx->event->action_type_str = "MMAP_EXECUTION";
    if (lookup(ctx) == AC_CACHE_NOT_EVALUABLE) {
        AC_DEBUG(ctx, "Error: Failed to stat file %s\n", ctx->realpath);
        return answered(STAT_mmap_pre_eagain, replyIgnoreEagain, ctx, reply);
    }
    return verdict_step(ctx, reply, mmap_pre);
}

}  // extern "C"
