#include "channel/retrieval.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "abstraction/dispatcher.h"
#include "cache/process_cache.h"
#include "channel/device.h"
#include "channel/event_log.h"
#include "channel/fresh_filter.h"
#include "channel/reply.h"
#include "base/limits.h"
#include "base/status.h"

namespace {

// Copies a record name into a context buffer, never past the record's field.
void copy_name(char* dst, uint32_t len, const char* src)
{
    size_t n = len == NAME_FAULT ? 0 : (len > AC_NAME_FIELD ? AC_NAME_FIELD : len);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void fill_info(ac_event_info* ev, const ac_event_record* rec)
{
    ev->type = rec->type;
    ev->pid = (int32_t)rec->pid;
    ev->id = rec->id;
    ev->rc = (int32_t)rec->rc;
    ev->fd = rec->fd;
    ev->dirfd = rec->fd;
    ev->oldfd = rec->oldfd;
    ev->flags = (uint64_t)(int64_t)(int32_t)rec->flags;
    ev->mode = (uint64_t)(int64_t)(int32_t)rec->mode;
}

void close_debug(ac_decision_ctx* ctx)
{
    if (!ctx->debugLog) return;
    fclose(ctx->debugLog);
    ctx->debugLog = nullptr;
}

// A large text buffer of the pass storage of which only the first `clear`
// bytes may be read before the pass writes them. Every reader of these
// buffers reads a NUL-terminated text that the pass wrote (or the empty text
// when it wrote none), except:
// - the process cache stores the first 16 bytes (AC_PROC_NAME) of the
//   process's file name as a block: those 16 bytes are cleared;
// - the dup capture (DriftDup) writes the captured name into the event name
//   without a terminator, relying on zeros after it: for dup-post events the
//   event name is cleared whole (see clear_pass);
// - the descriptor-link reads into realpath and the resolved path are
//   preceded by their own clearing of that buffer (resolution.cpp,
//   GetRealPath).
struct lazy_text {
    size_t offset;
    size_t size;
    size_t clear;
};

constexpr lazy_text info_texts[] = {
    {offsetof(ac_event_info, name), AC_PATH_MAX, 1},
    {offsetof(ac_event_info, oldname), AC_PATH_MAX, 1},
};

constexpr lazy_text ctx_texts[] = {
    {offsetof(ac_decision_ctx, ruleset), AC_PATH_MAX, 1},
    {offsetof(ac_decision_ctx, processName), AC_PATH_MAX, 1},
    {offsetof(ac_decision_ctx, processPath), AC_PATH_MAX, 1},
    {offsetof(ac_decision_ctx, path), AC_PATH_MAX, 1},
    {offsetof(ac_decision_ctx, processFileName), AC_PATH_MAX, AC_PROC_NAME},
    {offsetof(ac_decision_ctx, fileName), AC_PATH_MAX, 1},
    {offsetof(ac_decision_ctx, realpath), AC_PATH_MAX, 1},
};

// Zeroes the object except the part of each lazy text past its first bytes;
// any other field, present or future, is zeroed whole. The texts are listed
// in the order of their offsets.
void clear_sparse(void* object, size_t size, const lazy_text* texts, size_t count)
{
    char* p = static_cast<char*>(object);
    size_t at = 0;
    for (size_t i = 0; i < count; i++) {
        memset(p + at, 0, texts[i].offset - at);
        memset(p + texts[i].offset, 0, texts[i].clear);
        at = texts[i].offset + texts[i].size;
    }
    memset(p + at, 0, size - at);
}

constexpr bool in_order(const lazy_text* texts, size_t count, size_t size)
{
    size_t at = 0;
    for (size_t i = 0; i < count; i++) {
        if (texts[i].offset < at || texts[i].clear > texts[i].size) return false;
        at = texts[i].offset + texts[i].size;
    }
    return at <= size;
}
static_assert(in_order(info_texts, sizeof info_texts / sizeof *info_texts, sizeof(ac_event_info)), "event texts");
static_assert(in_order(ctx_texts, sizeof ctx_texts / sizeof *ctx_texts, sizeof(ac_decision_ctx)), "context texts");

// Everything but the record, which read_record has made whole.
void clear_pass(lac_pass_storage* s)
{
    clear_sparse(&s->info, sizeof s->info, info_texts, sizeof info_texts / sizeof *info_texts);
    if (s->rec.type == EVENT_DUP_POST) memset(s->info.name, 0, sizeof s->info.name);
    clear_sparse(&s->ctx, sizeof s->ctx, ctx_texts, sizeof ctx_texts / sizeof *ctx_texts);
    memset(&s->reply, 0, sizeof s->reply);
}

int decide(lac_handle* h, const lac_get_options* opt, lac_pass_storage* s)
{
    ac_decision_ctx* ctx = &s->ctx;
    ac_event_record* rec = &s->rec;
    const uint64_t mask = generated_event_attribute_mask[rec->type];
    fill_info(&s->info, rec);
    if (mask & ATTR_NAME) {
        copy_name(s->info.name, rec->name_len, rec->name);
        if (ctx->debugLog) {
            fprintf(ctx->debugLog, "sys_name is %s\n", s->info.name);
            fflush(ctx->debugLog);
        }
    }
    if (mask & ATTR_OLDNAME) copy_name(s->info.oldname, rec->oldname_len, rec->oldname);

    ctx->event = &s->info;
    ctx->ac_on = (uint32_t)opt->ac_on;
    ctx->lockdown = (uint32_t)opt->lockdown;
    ctx->basedir = opt->basedir;
    ctx->maintenanceMode = (uint32_t)opt->maintenanceMode;
    ctx->authorizeStartTime = opt->startTime;
    ctx->cache_type = -1;

    int32_t result = AbstractEvent(&s->reply, ctx);
    if (result != AC_HANDOFF) ac_reply(h, &s->reply, ctx);
    if (ctx->newfilter) lac_fresh_filter_exchange(h, ctx);
    if (opt->logMode != 0) lac_log_event_line(rec, ctx);
    if (result == AC_ANSWERED) {
        AC_DEBUG(ctx, "Replying EAGAIN for %s\n\n", ctx->realpath);
        close_debug(ctx);
        return LAC_EAGAIN;
    }
    AC_DEBUG(ctx, "LUA fallthrough for %s\n\n", ctx->realpath);
    close_debug(ctx);
    return 0;
}

}  // namespace

extern "C" {

const char* lac_overlong_name(const ac_event_record* rec, uint32_t* len)
{
    const uint64_t mask = ac_type_in_range(rec->type) ? generated_event_attribute_mask[rec->type] : 0;
    auto overlong = [](uint32_t n) { return n != NAME_FAULT && n > AC_NAME_FIELD; };
    if ((mask & ATTR_NAME) && overlong(rec->name_len)) return *len = rec->name_len, "name";
    if ((mask & ATTR_OLDNAME) && overlong(rec->oldname_len)) return *len = rec->oldname_len, "oldname";
    return nullptr;
}

int lac_read_record(lac_handle* h, ac_event_record* rec, ssize_t* got)
{
    int err = 0;
    for (int i = 0; i <= AC_EINTR_RETRIES; i++) {
        *got = read(h->fd, rec, sizeof *rec);
        err = *got == -1 ? errno : 0;
        if (err != EINTR) break;
    }
    if (*got == 0) err = LAC_ERR_DISABLED;  // end of file: the driver's side is gone
    size_t filled = *got > 0 ? (size_t)*got : 0;
    memset(reinterpret_cast<char*>(rec) + filled, 0, sizeof *rec - filled);
    return err;
}

int lac_poll(lac_handle* h, int32_t* exit_fd, int timeout)
{
    if (h->fd < 0) return EBADF;  // closed: poll would skip it and wait for nothing
    struct pollfd fds[2] = {{h->fd, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t n = 1;
    if (exit_fd) {
        fds[1].fd = *exit_fd;
        n = 2;
    }
    // A signal does not end the wait: it goes on for what is left of the timeout.
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int left = timeout;
    for (int i = 0; poll(fds, n, left) < 0; i++) {
        if (errno != EINTR || i == AC_EINTR_RETRIES) return errno;
        if (timeout < 0) continue;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= timeout) return LAC_ERR_TIMEOUT;
        left = timeout - (int)spent;
    }
    if (n == 2 && fds[1].revents) return LAC_ERR_SHUTDOWN;
    if (fds[0].revents == POLLHUP) return LAC_ERR_DISABLED;
    if (fds[0].revents == 0) return LAC_ERR_TIMEOUT;
    return 0;
}

int lac_decide_pass(lac_handle* h, const lac_get_options* opt, lac_pass_storage* storage)
{
    lac_pass_storage& s = *storage;
    ssize_t got;
    int rerr = lac_read_record(h, &s.rec, &got);
    clear_pass(&s);
    ac_decision_ctx* ctx = &s.ctx;
    if (opt->logMode == 1 && (ctx->debugLog = lac_open_log(LAC_DEBUG_LOG))) {
        fprintf(ctx->debugLog,
                "==EVENT==\nrc=%d, ac_on=%d, maintenanceMode=%d, lockdown=%d, basedir=%s, Event=%s=%d\n",
                (int)got, opt->ac_on, opt->maintenanceMode, opt->lockdown, opt->basedir,
                getEventType(s.rec.type), (int)s.rec.type);
        fflush(ctx->debugLog);
    }
    if (rerr) {
        AC_DEBUG(ctx, "skipping event rc = -1\n");
        close_debug(ctx);
        return rerr;
    }
    if (s.rec.type == EVENT_NULL || !ac_type_in_range(s.rec.type)) {
        if (opt->logMode != 0) lac_log_out_of_range(s.rec.type);
        close_debug(ctx);
        return LAC_EAGAIN;
    }
    // A name cut to its field may name another program than the whole one:
    // such an event is never decided here.
    uint32_t len;
    if (lac_overlong_name(&s.rec, &len)) {
        close_debug(ctx);
        return LAC_NAME_TOO_LONG;
    }
    return decide(h, opt, &s);
}

}  // extern "C"
