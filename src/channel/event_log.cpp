#include "channel/event_log.h"

#include <cinttypes>

namespace {

// Texts go out unescaped; an absent one reads "(null)".
inline const char* text(const char* s) { return s ? s : "(null)"; }

}  // namespace

FILE* lac_open_log(const char* path) { return fopen(path, "a+"); }

void lac_log_out_of_range(uint32_t type)
{
    FILE* f = lac_open_log(LAC_EVENTS_LOG);
    if (!f) return;
    fprintf(f, "{\"error\":\"OUT_OF_RANGE\",\"event\":\"%s\",\"event_num\":%u}\n", getEventType(type), type);
    fclose(f);
}

void lac_log_event_line(const ac_event_record* rec, ac_decision_ctx* ctx)
{
    FILE* f = lac_open_log(LAC_EVENTS_LOG);
    if (!f) return;
    ctx->eventsLog = f;
    const ac_event_info* ev = ctx->event;
    fputs("{", f);
    fprintf(f,
            "\"event\":\"%s\",\"name\":\"%s\",\"oldname\":\"%s\",\"realpath\":\"%s\",\"path\":\"%s\","
            "\"fileName\":\"%s\",\"fileExtension\":\"%s\",",
            getEventType(ev->type), ev->name, ev->oldname, ctx->realpath, ctx->path, ctx->fileName,
            ctx->fileExtension);
    fprintf(f,
            "\"size\":%" PRIu64 ",\"bind_action\":%d,\"cache_type\":%d,\"isdrift\":%d,\"newfilter\":%d,"
            "\"processTypeIndex\":%" PRIu64 ",",
            ctx->size, (int)ctx->bind_action, ctx->cache_type, (int)ctx->isdrift, (int)ctx->newfilter,
            ctx->processTypeIndex);
    fprintf(f,
            "\"action_type\":\"%s\",\"action_type_str\":\"%s\",\"operationType\":\"%s\",\"newExtension\":\"%s\","
            "\"previousMode\":%" PRIu64 ",\"ruleset\":\"%s\",",
            getEventType((uint32_t)ev->action_type), text(ev->action_type_str), text(ev->operationType),
            ev->newExtension, ev->previousMode, ctx->ruleset);
    fprintf(f,
            "\"pid\":%d, \"rc\":%" PRIu64 ",\"fd\":%d,\"dirfd\":%d,\"oldfd\":%d,\"olddirfd\":%d,\"flags\":%d,"
            "\"mode\":%d",
            (int)rec->pid, (uint64_t)rec->rc, rec->fd, rec->fd, rec->oldfd, rec->oldfd, (int)rec->flags,
            (int)rec->mode);
    fputs("}\n", f);
    fclose(f);
    ctx->eventsLog = nullptr;
}
