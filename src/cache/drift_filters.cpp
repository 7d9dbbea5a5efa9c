#include "cache/drift_filters.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "cache/drift.h"
#include "cache/process_types.h"

namespace {

constexpr char SETFILEFILTER[] = "\"setfilefilter\"";

uint32_t le32(const char* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

bool is_executable_extension(const char* ext)
{
    for (const char* e : executableExtensions)
        if (strcmp(e, ext) == 0) return true;
    return false;
}

// The context's extension in lower case.
void lowered_extension(const ac_decision_ctx* ctx, char (&out)[AC_EXT_MAX])
{
    size_t n = strnlen(ctx->fileExtension, AC_EXT_MAX - 1);
    memcpy(out, ctx->fileExtension, n);
    out[n] = '\0';
    lowercase_string(out);
}

// True when path begins with one of the ';'-separated prefixes; no shared
// tokenizer state, since every worker thread runs it.
bool under_prefix(const char* path, const char* list)
{
    const char* end = list + strnlen(list, AC_PATH_MAX - 1);
    for (const char* p = list; p < end;) {
        const char* sep = static_cast<const char*>(memchr(p, ';', (size_t)(end - p)));
        size_t len = (size_t)((sep ? sep : end) - p);
        if (len && strncmp(path, p, len) == 0) return true;
        p += len + 1;
    }
    return false;
}

}  // namespace

extern "C" {

int DriftFreshFilter(const char* reply, size_t len, ac_fresh_filter* out, char* err, size_t errsize)
{
    if (!reply) {
        snprintf(err, errsize, "missing getfilefilter");
        return -1;
    }
    if (len < AC_FILTER_REPLY_MIN) {
        snprintf(err, errsize, "missing getfilefilter args (%d)", (int)len);
        return -1;
    }
    uint32_t pidsize = le32(reply + 8), fdsize = le32(reply + 12);
    pthread_mutex_lock(&drift_lock);
    drift_note_fresh_filter_locked();
    if (pidsize != AC_FILTER_BITMAP_BYTES || fdsize != AC_FILTER_BITMAP_BYTES) {
        pthread_mutex_unlock(&drift_lock);
        if (pidsize != AC_FILTER_BITMAP_BYTES)
            snprintf(err, errsize, "pidsize %d != %d", (int)pidsize, (int)AC_FILTER_BITMAP_BYTES);
        else
            snprintf(err, errsize, "fdsize %d != %d", (int)fdsize, (int)AC_FILTER_BITMAP_BYTES);
        return -1;
    }
    memset(out, 0, sizeof *out);
    memcpy(out->command, SETFILEFILTER, sizeof SETFILEFILTER);
    out->id = le32(reply + 16);
    drift_for_each_live_locked([out](const drift_entry& e) {
        out->pids[(e.pid & 255) >> 3] |= (uint8_t)(1u << (e.pid & 7));
        out->fds[((uint32_t)e.fd >> 3) & 31] |= (uint8_t)(1u << (e.fd & 7));
    });
    pthread_mutex_unlock(&drift_lock);
    return 0;
}

int quickDriftFilter(ac_decision_ctx* ctx)
{
    if (ctx->fileExtension[0]) {
        char ext[AC_EXT_MAX];
        lowered_extension(ctx, ext);
        if (is_executable_extension(ext)) return 1;
        if (strcmp(ext, "log") == 0) return 0;
    }
    struct stat st;
    if (lstat(ctx->realpath, &st) != 0) {
        AC_DEBUG(ctx, "Error getting attributes of file %s: Failed stat\n", ctx->realpath);
        return 0;
    }
    return (st.st_mode & 0111) != 0;
}

int quickIMFilter(ac_decision_ctx* ctx)
{
    if (ctx->fileExtension[0]) {
        char ext[AC_EXT_MAX];
        lowered_extension(ctx, ext);
        if (is_executable_extension(ext)) return 1;
    }
    return under_prefix(ctx->realpath, ctx->basedir);
}

}  // extern "C"
