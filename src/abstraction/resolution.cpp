#include "abstraction/resolution.h"

#include <sys/stat.h>

#include <cstring>

#include "base/paths.h"
#include "cache/proc_info.h"
#include "cache/process_cache.h"
#include "cache/process_types.h"

namespace {

// Copies at most 4095 characters and terminates.
void copy_path(char* dst, const char* src)
{
    size_t n = strnlen(src, AC_PATH_MAX - 1);
    memmove(dst, src, n);
    dst[n] = '\0';
}

// The frame shared by the resolvers: the pid, the already-resolved test, the
// executable of the acting process, the variant's steps and the debug dump.
template <typename Variant>
int32_t resolve(ac_decision_ctx* ctx, Variant variant)
{
    ctx->pid = ctx->event->pid;
    if (ctx->processName[0]) return AC_HANDOFF;
    if (!GetProcNameFromPid((unsigned long)ctx->pid, ctx->processName)) return AC_ANSWERED;
    variant(ctx);
    if (ctx->debugLog) procDebug(ctx);
    return AC_HANDOFF;
}

// GetRealPath writes the whole field: the path, then zeros.
void resolve_name(ac_decision_ctx* ctx, const char* name, int32_t anchor)
{
    GetRealPath((uint32_t)ctx->event->pid, name, anchor, ctx->realpath, sizeof ctx->realpath);
    ctx->realpath[AC_PATH_MAX - 1] = '\0';
}

void split_process(ac_decision_ctx* ctx)
{
    splitpath(ctx->processPath, ctx->processFileName, ctx->processName);
}

void split_file(ac_decision_ctx* ctx)
{
    splitpath(ctx->path, ctx->fileName, ctx->realpath);
    extract_file_extension(ctx->fileName, ctx->fileExtension, '.');
}

// The dirfd-based resolvers describe the target file in the process fields too.
void split_target_as_process(ac_decision_ctx* ctx)
{
    splitpath(ctx->processPath, ctx->processFileName, ctx->realpath);
    extract_file_extension(ctx->processFileName, ctx->fileExtension, '.');
}

constexpr int64_t MICROS_ABOVE = 9999999999999;  // larger values are microseconds
constexpr int64_t MILLIS_ABOVE = 9999999999;     // larger values are milliseconds

}  // namespace

extern "C" {

int32_t SetProcGetRealPath(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return resolve(ctx, [](ac_decision_ctx* c) {
        split_process(c);
        resolve_name(c, c->event->name, c->event->fd);
        split_file(c);
    });
}

int32_t SetProcGetRealPathFromDirfd(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return resolve(ctx, [](ac_decision_ctx* c) {
        resolve_name(c, c->event->name, c->event->dirfd);
        split_target_as_process(c);
        split_file(c);
    });
}

int32_t SetProcGetRealPathFromDirfdAndOldname(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return resolve(ctx, [](ac_decision_ctx* c) {
        resolve_name(c, c->event->oldname, c->event->dirfd);
        split_target_as_process(c);
        split_file(c);
    });
}

// The descriptor's link is read without a terminator into at most 4095 bytes of
// the zeroed field, so it stays terminated; an unreadable link leaves it empty.
int32_t SetProcGetFileNameFromPidAndFd(ac_decision_ctx* ctx, ac_reply_msg* reply)
{
    return resolve(ctx, [](ac_decision_ctx* c) {
        split_process(c);
        memset(c->realpath, 0, sizeof c->realpath);
        GetFileNameFromPidAndFd(c->event->pid, c->event->fd, c->realpath, sizeof c->realpath - 1);
        copy_path(c->event->name, c->realpath);
        split_file(c);
    });
}

int32_t getProcessTypeIndex(ac_decision_ctx* ctx)
{
    uint64_t pid = (uint64_t)ctx->pid;
    uint64_t type = GetProcess(pid, ctx->processFileName);
    ctx->processTypeIndex = type;
    if (type != AC_PROCESS_TYPE_NONE) {
        AC_DEBUG(ctx, "Retrieve ProcessTypeIndex %lu from cache under %s for %s\n", (unsigned long)type,
                 ctx->processFileName, ctx->realpath);
        return (int32_t)type;
    }
    AC_DEBUG(ctx, "Process cache miss under %s for %s\n", ctx->processFileName, ctx->realpath);
    type = GetProcessInterpreterType(ctx);
    if (type >= 2) {
        ctx->processTypeIndex = type;
        AC_DEBUG(ctx, "Determined processTypeIndex %lu under %s for %s\n", (unsigned long)type,
                 ctx->processFileName, ctx->realpath);
        if (!ctx->nocache) {
            AddProcess(pid, type, ctx->processFileName);
            AC_DEBUG(ctx, "Add ProcessTypeIndex %lu to cache under %s for %s\n",
                     (unsigned long)ctx->processTypeIndex, ctx->processFileName, ctx->realpath);
        }
        return (int32_t)type;
    }
    AC_DEBUG(ctx, "%s miss on interpreter table\n", ctx->realpath);
    return (int32_t)type;
}

uint64_t convertTimeToMillis(int64_t t)
{
    if (t > MICROS_ABOVE) return (uint64_t)(t / 1000);
    if (t > MILLIS_ABOVE) return (uint64_t)t;
    return (uint64_t)t * 1000u;  // unsigned: a negative value wraps instead of overflowing
}

mode_t getCurrentModeBits(ac_decision_ctx* ctx, const char* path)
{
    struct stat st;
    if (lstat(path, &st) != 0) {
        AC_DEBUG(ctx, "Error getting attributes of file %s: Failed stat\n", path);
        return 0;
    }
    return st.st_mode;
}

// The RLPATH line shows the resolved path of the event's file.
void procDebug(ac_decision_ctx* ctx)
{
    FILE* log = ctx->debugLog;
    if (!log) return;
    fprintf(log, "PID: %lu\n", (unsigned long)ctx->pid);
    fprintf(log, "TYPE: %d\n", ctx->event ? (int)ctx->event->type : -1);
    fprintf(log, "RLPATH: %s\n", ctx->realpath);
    fprintf(log, "ProcName: %s\n", ctx->processName);
    fprintf(log, "PATH: %s\n", ctx->processPath);
    fprintf(log, "FileName: %s\n", ctx->processFileName);
    fprintf(log, "Extension: %s\n", ctx->fileExtension);
    fflush(log);
}

}  // extern "C"
