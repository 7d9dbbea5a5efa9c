// Writes, dups, closes, renames, unlinks and permission or owner changes: files
// that may become new executable content are followed through the drift
// tracker and passed to Lua only when the quick filters say they may matter.
#include <cinttypes>
#include <cstring>

#include "abstraction/counters.h"
#include "abstraction/dispatcher.h"
#include "abstraction/handlers.h"
#include "abstraction/resolution.h"
#include "base/event_record.h"
#include "cache/drift.h"
#include "cache/drift_filters.h"
#include "cache/proc_info.h"
#include "cache/process_cache.h"

namespace {

typedef int32_t (*resolver)(ac_decision_ctx*, ac_reply_msg*);

struct counters {
    ac_stat eagain;
    ac_stat handoff;
};

constexpr uint64_t CREATE_OR_TRUNCATE = 0x240;

void flush(ac_decision_ctx* ctx)
{
    if (ctx->debugLog) fflush(ctx->debugLog);
}

int32_t ignored(ac_stat eagain, ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_count(eagain);
    return replyIgnoreEagain(ctx, reply);
}

// Excluded locations are answered here without a reply operation, so they
// count in the exclude statistic and not in ac_ignore.
bool excluded(ac_decision_ctx* ctx, ac_reply_msg* reply, ac_stat eagain)
{
    for (const char* fragment : drift_excludes) {
        if (!strstr(ctx->realpath, fragment)) continue;
        reply->reply = REPLY_IGNORE;
        reply->id = (uint32_t)ctx->event->id;
        incExcludeFilter();
        ac_count(eagain);
        return true;
    }
    return false;
}

enum filters { MONITORED_ONLY = 0, DRIFT_AND_MONITORED = 1 };

// True when the change passes; the event is then marked for Lua. Otherwise it
// has been answered REPLY_IGNORE and *result holds the answer.
bool quick_filters(ac_decision_ctx* ctx, ac_reply_msg* reply, counters c, filters which, const char* operation,
                   const char* filtered_line, int32_t* result)
{
    const char* pass = nullptr;
    if (which == DRIFT_AND_MONITORED && ctx->ac_on && quickDriftFilter(ctx)) {
        pass = "Pass Drift Filter\n";
        ac_count(STAT_quick_drift_filter);
    } else if (ctx->basedir[0] && quickIMFilter(ctx)) {
        pass = "Pass IM Filter\n";
        ac_count(STAT_quick_im_filter);
    }
    if (pass) {
        AC_DEBUG(ctx, "%s", pass);
        flush(ctx);
        ac_count(c.handoff);
        ctx->event->action_type = TYPE_CREATE;  // possibly new executable content
        if (operation) ctx->event->operationType = operation;
        return true;
    }
    AC_DEBUG(ctx, filtered_line, ctx->realpath);
    flush(ctx);
    ac_count(STAT_quick_filter_filter);
    *result = ignored(c.eagain, ctx, reply);
    return false;
}

// The shared tail of chmod, fchmod, chown and fchown post events.
int32_t post_change(ac_decision_ctx* ctx, ac_reply_msg* reply, resolver resolve, counters c, filters which,
                    const char* filtered_line)
{
    if (ctx->event->rc != 0) return ignored(c.eagain, ctx, reply);
    if (resolve(ctx, reply) == AC_ANSWERED) {
        ac_count(c.eagain);
        return AC_ANSWERED;
    }
    int32_t result;
    if (!quick_filters(ctx, reply, c, which, "update", filtered_line, &result)) return result;
    return AC_HANDOFF;
}

// The rename's new name, resolved like SetProcGetRealPathFromDirfd's variant
// steps but keeping the process name read for the old name.
void resolve_new_name(ac_decision_ctx* ctx)
{
    ac_event_info* ev = ctx->event;
    GetRealPath((uint32_t)ev->pid, ev->name, ev->dirfd, ctx->realpath, sizeof ctx->realpath);  // whole field
    ctx->realpath[AC_PATH_MAX - 1] = '\0';
    splitpath(ctx->processPath, ctx->processFileName, ctx->realpath);
    splitpath(ctx->path, ctx->fileName, ctx->realpath);
    extract_file_extension(ctx->fileName, ctx->fileExtension, '.');
}

constexpr counters chmod_post{STAT_chmod_post_eagain, STAT_chmod_post_handoff};
constexpr counters chown_post{STAT_chown_post_eagain, STAT_chown_post_handoff};
constexpr const char* CHMOD_FILTERED = "CHMOD_POST Drift filtered by quick filter for %s\n";
constexpr const char* CHOWN_FILTERED = "CHOWN_POST Drift filtered by quick filter for %s\n";

}  // namespace

extern "C" {

int32_t EventOpenPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_OPEN_POST\nEvent %" PRIu64 " flags=%" PRIu64 "\n", ev->id, ev->flags);
    if (SetProcGetRealPathFromDirfd(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_open_post_eagain);
        return AC_ANSWERED;
    }
    if (excluded(ctx, reply, STAT_open_post_eagain)) return AC_ANSWERED;
    if (!(ev->flags & CREATE_OR_TRUNCATE) || ev->rc < 0) return ignored(STAT_open_post_eagain, ctx, reply);
    if (ctx->processFileName[0]) {
        uint64_t type = GetProcess((uint64_t)ctx->pid, ctx->processFileName);
        AC_DEBUG(ctx, "Retrieve ProcessTypeIndex %" PRIu64 " from cache for %s\n", type, ctx->realpath);
    }
    DriftOpen((uint32_t)ev->pid, ev->fd);
    ac_count(STAT_open_post_eagain);
    return replyTrackfile(ctx, reply);
}

int32_t EventClosePre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_CLOSE_PRE evt.fd=%d\n", ev->fd);
    flush(ctx);
    DriftClose((uint32_t)ev->pid, ev->fd, &ctx->isdrift, &ctx->newfilter);
    AC_DEBUG(ctx, "isDrift=%d, newFilter=%d, fd=%d\n", (int)ctx->isdrift, (int)ctx->newfilter, ev->fd);
    flush(ctx);
    if (!ctx->isdrift) return ignored(STAT_close_pre_eagain, ctx, reply);
    if (SetProcGetFileNameFromPidAndFd(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_close_pre_eagain);
        return AC_ANSWERED;
    }
    if (excluded(ctx, reply, STAT_close_pre_eagain)) return AC_ANSWERED;
    int32_t result;
    if (!quick_filters(ctx, reply, {STAT_close_pre_eagain, STAT_close_pre_handoff}, DRIFT_AND_MONITORED, nullptr,
                       "CLOSE_PRE Drift filtered by quick filter for %s\n", &result))
        return result;
    return replyIgnoreLua(ctx, reply);
}

int32_t EventDupPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    const ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_DUP_PRE\n");
    ac_count(STAT_dup_pre_eagain);
    if (DriftDupTrackPossibleClose((uint32_t)ev->pid, ev->oldfd, ev->fd)) {
        AC_DEBUG(ctx, "Track dup for close pid:%d oldfd:%d fd:%d\n", ev->pid, ev->oldfd, ev->fd);
        return replyAllowEagain(ctx, reply);
    }
    AC_DEBUG(ctx, "Dup ignoring pid:%d oldfd:%d fd:%d\n", ev->pid, ev->oldfd, ev->fd);
    return replyIgnoreEagain(ctx, reply);
}

int32_t EventDupPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_DUP_POST\n");
    if (ev->rc < 0) return ignored(STAT_dup_post_eagain, ctx, reply);
    if (DriftDup((uint32_t)ev->pid, ev->oldfd, ev->rc, ev->name)) {
        AC_DEBUG(ctx, "Dup tracking new fd:%d\n", ev->fd);
        ac_count(STAT_dup_post_eagain);
        return replyTrackfile(ctx, reply);
    }
    if (!ev->name[0]) return ignored(STAT_dup_post_eagain, ctx, reply);
    // The dup closed a tracked file: judge it like a close.
    if (SetProcGetRealPathFromDirfd(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_dup_post_eagain);
        return replyError(ctx, reply);
    }
    AC_DEBUG(ctx, "Dup closing file name:%s realname:%s\n", ev->name, ctx->realpath);
    int32_t result;
    if (!quick_filters(ctx, reply, {STAT_dup_post_eagain, STAT_dup_post_handoff}, DRIFT_AND_MONITORED, nullptr,
                       "DUP_POST Drift filtered by quick filter for %s\n", &result))
        return result;
    return AC_HANDOFF;
}

int32_t EventChmodPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_CHMOD_PRE\n");
    return ignored(STAT_chmod_pre_eagain, ctx, reply);
}

int32_t EventChownPre(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_CHOWN_PRE\n");
    return ignored(STAT_chown_pre_eagain, ctx, reply);
}

int32_t EventChmodPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_CHMOD_POST\n");
    return post_change(ctx, reply, SetProcGetRealPathFromDirfd, chmod_post, DRIFT_AND_MONITORED, CHMOD_FILTERED);
}

int32_t EventFchmodPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_FCHMOD_POST\n");
    return post_change(ctx, reply, SetProcGetFileNameFromPidAndFd, chmod_post, DRIFT_AND_MONITORED, CHMOD_FILTERED);
}

int32_t EventChownPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_CHOWN_POST rc=%d\n", ctx->event->rc);
    return post_change(ctx, reply, SetProcGetRealPathFromDirfd, chown_post, MONITORED_ONLY, CHOWN_FILTERED);
}

int32_t EventFchownPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    AC_DEBUG(ctx, "EVENT_FCHOWN_POST rc=%d\n", ctx->event->rc);
    return post_change(ctx, reply, SetProcGetFileNameFromPidAndFd, chown_post, MONITORED_ONLY, CHOWN_FILTERED);
}

int32_t EventRenamePost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_RENAME_POST with evt.rc %d\n", ev->rc);
    flush(ctx);
    if (ev->rc != 0) return ignored(STAT_rename_post_eagain, ctx, reply);
    extract_file_extension(ev->name, ev->newExtension, '.');
    bool prefilled = ctx->processName[0] != '\0';
    if (SetProcGetRealPathFromDirfdAndOldname(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_rename_post_eagain);
        return AC_ANSWERED;
    }
    ac_copy_path(ev->oldname, ctx->realpath);
    if (!prefilled) resolve_new_name(ctx);
    AC_DEBUG(ctx, "Oldname=%s Newname=%s\n", ev->oldname, ctx->realpath);
    flush(ctx);
    int32_t result;
    if (!quick_filters(ctx, reply, {STAT_rename_post_eagain, STAT_rename_post_handoff}, DRIFT_AND_MONITORED, "rename",
                       "RENAME_POST Drift filtered by quick filter for %s\n", &result))
        return result;
    return AC_HANDOFF;
}

int32_t EventUnlinkPost(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    ac_event_info* ev = ctx->event;
    AC_DEBUG(ctx, "EVENT_UNLINK_POST with evt.rc %d\n", ev->rc);
    if (ev->rc != 0) return ignored(STAT_unlink_post_eagain, ctx, reply);
    extract_file_extension(ev->name, ev->newExtension, '.');
    if (SetProcGetRealPathFromDirfd(ctx, reply) == AC_ANSWERED) {
        ac_count(STAT_unlink_post_eagain);
        return AC_ANSWERED;
    }
    if (excluded(ctx, reply, STAT_unlink_post_eagain)) return AC_ANSWERED;
    int32_t result;
    if (!quick_filters(ctx, reply, {STAT_unlink_post_eagain, STAT_unlink_post_handoff}, MONITORED_ONLY, "delete",
                       "", &result))
        return result;
    return AC_HANDOFF;
}

}  // extern "C"
