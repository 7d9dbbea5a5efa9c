#include "abstraction/dispatcher.h"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "abstraction/counters.h"
#include "abstraction/handlers.h"
#include "base/event_record.h"

namespace {

struct route {
    ac_handler handler;  // null: answered as an unsupported type
    ac_stat counter;
    bool stat_handler;   // unlink events are counted only by their own counter
};

// Types without a route (and the unrouted handlers' types) are answered as
// unsupported.
constexpr std::array<route, AC_EVENT_TYPE_COUNT> make_routes()
{
    std::array<route, AC_EVENT_TYPE_COUNT> r{};
    auto set = [&r](uint32_t type, ac_handler h, ac_stat counter, bool stat = true) {
        r[type] = route{h, counter, stat};
    };
    set(EVENT_DUP_PRE, EventDupPre, STAT_event_dup_pre);
    set(EVENT_DUP_POST, EventDupPost, STAT_event_dup_post);
    set(EVENT_OPEN_PRE, EventOpenPre, STAT_event_open_pre);
    set(EVENT_OPEN_POST, EventOpenPost, STAT_event_open_post);
    set(EVENT_CHMOD_PRE, EventChmodPre, STAT_event_chmod_pre);
    set(EVENT_FCHMOD_PRE, EventChmodPre, STAT_event_chmod_pre);
    set(EVENT_CHMOD_POST, EventChmodPost, STAT_event_chmod_post);
    set(EVENT_FCHMOD_POST, EventFchmodPost, STAT_event_chmod_post);
    set(EVENT_CLOSE_PRE, EventClosePre, STAT_event_close_pre);
    set(EVENT_EXECVE_PRE, EventExecPre, STAT_event_exec_pre);
    set(EVENT_RENAME_POST, EventRenamePost, STAT_event_rename_post);
    set(EVENT_CHOWN_PRE, EventChownPre, STAT_event_chown_pre);
    set(EVENT_LCHOWN_PRE, EventChownPre, STAT_event_chown_pre);
    set(EVENT_FCHOWN_PRE, EventChownPre, STAT_event_chown_pre);
    set(EVENT_FCHOWNAT_PRE, EventChownPre, STAT_event_chown_pre);
    set(EVENT_CHOWN_POST, EventChownPost, STAT_event_chown_post);
    set(EVENT_LCHOWN_POST, EventChownPost, STAT_event_chown_post);
    set(EVENT_FCHOWNAT_POST, EventChownPost, STAT_event_chown_post);
    set(EVENT_FCHOWN_POST, EventFchownPost, STAT_event_chown_post);
    set(EVENT_UNLINK_POST, EventUnlinkPost, STAT_event_unlink_post, false);
    set(EVENT_UNLINKAT_POST, EventUnlinkPost, STAT_event_unlink_post, false);
    set(EVENT_MMAP_PRE, EventMmapPre, STAT_event_mmap_pre);
    return r;
}

constexpr std::array<route, AC_EVENT_TYPE_COUNT> routes = make_routes();

// The agent's own process id, read once and again in the child of a fork, so
// that telling the agent's own events apart costs no system call per event.
std::atomic<pid_t> own_pid{0};
pthread_once_t own_pid_once = PTHREAD_ONCE_INIT;

void read_own_pid() { own_pid.store(getpid(), std::memory_order_relaxed); }

void first_own_pid()
{
    read_own_pid();
    pthread_atfork(nullptr, nullptr, read_own_pid);
}

inline pid_t agent_pid()
{
    pthread_once(&own_pid_once, first_own_pid);
    return own_pid.load(std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void StatHandler(int32_t result)
{
    if (result == AC_HANDOFF || result == AC_REPLY_HANDOFF)
        ac_count(STAT_lua_return);
    else if (result == AC_ANSWERED)
        ac_count(STAT_eagain_return);
    ac_count(STAT_total_events);
}

int32_t AbstractEvent(ac_reply_msg* reply, ac_decision_ctx* ctx)
{
    const ac_event_info* ev = ctx->event;
    if (ev->pid == (int32_t)agent_pid()) {
        AC_DEBUG(ctx, "Filtering out own event\n");
        return replyIgnoreEagain(ctx, reply);
    }
    const route* r = ac_type_in_range(ev->type) ? &routes[ev->type] : nullptr;
    if (r && r->handler) {
        int32_t result = r->handler(ctx, reply);
        ac_count(r->counter);
        if (r->stat_handler) StatHandler(result);
        return result;
    }
    ac_count(STAT_event_not_handled);
    ac_count(STAT_total_events);
    AC_DEBUG(ctx, "Type %d not supported by C event abstraction\n", (int)ev->type);
    return replyError(ctx, reply);
}

}  // extern "C"
