// (1) AbstractEvent, the fast path alone, per event kind.
//
// prefilled: the context is filled the way the test entry (AbstractEvent from
//   Lua) fills it: realpath, name and processName set and split, so nothing
//   is read from /proc; the pid is the test entry's.
// live: the context holds only what the driver's record gives, for a live
//   process, and the fast path resolves the acting process and the file from
//   /proc for every event.
//
// Per iteration only the outputs of the previous decision are cleared (the
// reply, the cache type, the drift flags, the action type; for live events the
// process name, which makes the fast path resolve again): the time is that of
// AbstractEvent itself. Allocations are counted over the measured loop.
#include <fcntl.h>

#include <cstring>
#include <memory>

#include "abstraction/dispatcher.h"
#include "cache/drift.h"
#include "cache/object_cache.h"
#include "base/paths.h"
#include "base/event_record.h"
#include "common.h"
#include "test_entry_fill.h"

namespace {

constexpr int32_t TEST_PID = 555;  // the test entry's pid
constexpr uint64_t OPEN_FOR_WRITING = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int32_t CALLER_TOOL_FD = 5;  // see bench::spawn_caller
constexpr int32_t CALLER_DATA_FD = 6;
constexpr int32_t UNTRACKED_FD = 77;

using Env = bench::LiveSet;
Env* env;

struct Event {
    ac_event_info ev;
    ac_decision_ctx ctx;
    ac_reply_msg reply;
    bool live;
};

std::unique_ptr<Event> blank(uint32_t type, int32_t pid, bool live)
{
    std::unique_ptr<Event> e(new Event);
    memset(e.get(), 0, sizeof *e);
    e->ctx.event = &e->ev;
    e->ev.type = type;
    e->ev.pid = pid;
    e->ev.id = 1;
    e->ctx.ac_on = 1;
    e->ctx.basedir = "";
    e->ctx.cache_type = -1;
    e->live = live;
    return e;
}

// As l_AbstractEvent fills the context from rlpath and procName.
std::unique_ptr<Event> prefilled(uint32_t type, const std::string& rlpath, const char* procName)
{
    auto e = blank(type, TEST_PID, false);
    bench::fill_as_test_entry(&e->ev, &e->ctx, rlpath, procName);
    return e;
}

// As the channel fills the event from a record: fd is also the dirfd.
std::unique_ptr<Event> live(uint32_t type, pid_t pid, const std::string& name, int32_t fd)
{
    auto e = blank(type, (int32_t)pid, true);
    e->ev.fd = fd;
    e->ev.dirfd = fd;
    ac_copy_path(e->ev.name, name.c_str());
    return e;
}

// Clears what the previous decision wrote.
inline int32_t decide(Event& e)
{
    e.reply = ac_reply_msg{};
    e.ctx.cache_type = -1;
    e.ctx.isdrift = 0;
    e.ctx.newfilter = 0;
    e.ctx.processTypeIndex = 0;
    e.ev.action_type = 0;
    if (e.live) e.ctx.processName[0] = '\0';
    return AbstractEvent(&e.reply, &e.ctx);
}

struct Expect {
    int32_t result;
    uint32_t reply;
};

bool verify(benchmark::State& state, Event& e, Expect x, const char* what)
{
    int32_t r = decide(e);
    return bench::check(state, r == x.result && e.reply.reply == x.reply,
                        std::string(what) + ": result " + std::to_string(r) + " reply " +
                            std::to_string(e.reply.reply) + ", expected " + std::to_string(x.result) + " reply " +
                            std::to_string(x.reply));
}

// One event kind decided over and over.
void single(benchmark::State& state, Event* e, Expect x)
{
    if (!verify(state, *e, x, "first decision")) return;
    bench::AllocMeter meter;
    for (auto _ : state) {
        int32_t r = decide(*e);
        benchmark::DoNotOptimize(r);
    }
    meter.report(state, 1);
    if (!verify(state, *e, x, "last decision")) return;
}

// A tracked file: open for writing (tracked), then its close (judged by the
// quick filters; a data file is answered REPLY_IGNORE). Two events.
void tracked_pair(benchmark::State& state, Event* open, Event* close)
{
    DriftClear();
    Expect open_x{AC_ANSWERED, REPLY_TRACKFILE}, close_x{AC_ANSWERED, REPLY_IGNORE};
    if (!verify(state, *open, open_x, "open") || !verify(state, *close, close_x, "close")) return;
    bench::AllocMeter meter;
    for (auto _ : state) {
        int32_t r = decide(*open);
        benchmark::DoNotOptimize(r);
        r = decide(*close);
        benchmark::DoNotOptimize(r);
    }
    meter.report(state, 2);
    if (!verify(state, *open, open_x, "open") || !verify(state, *close, close_x, "close")) return;
}

// The same decision in 1, 2 and 4 threads at once, each with a context of its
// own: what the engine's shared state (the caches' locks, the counters) costs
// when workers run together, without the simulated driver. Per thread.
void threaded(benchmark::State& state, const Event* model)
{
    std::unique_ptr<Event> mine(new Event);
    memcpy(mine.get(), model, sizeof *mine);
    mine->ctx.event = &mine->ev;
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(decide(*mine));
    meter.report(state, 1);
    state.SetItemsProcessed(state.iterations());
}

void register_all()
{
    const bench::Workdir& w = env->dir;
    pid_t caller = env->caller->pid(), shell = env->shell->pid();
    // Approved verdicts for the program and the script.
    ClearCache();
    AddToCache(w.tool.c_str(), AC_CACHE_APPROVED, nullptr);
    AddToCache(w.script.c_str(), AC_CACHE_APPROVED, nullptr);

    const Expect allow{AC_ANSWERED, REPLY_ALLOW}, ignore{AC_ANSWERED, REPLY_IGNORE};
    struct Kind {
        const char* name;
        Event* pre;
        Event* live;
        Expect x;
    };
    // Owned for the life of the program.
    auto keep = [](std::unique_ptr<Event> e) { return e.release(); };
    Kind kinds[] = {
        {"exec_approved_hit", keep(prefilled(EVENT_EXECVE_PRE, w.tool, "/usr/bin/sleep")),
         keep(live(EVENT_EXECVE_PRE, caller, w.tool, AC_FD_CWD)), allow},
        {"close_untracked", keep(prefilled(EVENT_CLOSE_PRE, "", nullptr)),
         keep(live(EVENT_CLOSE_PRE, caller, "", UNTRACKED_FD)), ignore},
        {"script_open_approved", keep(prefilled(EVENT_OPEN_PRE, w.script, "/usr/bin/bash")),
         keep(live(EVENT_OPEN_PRE, shell, "run.sh", AC_FD_CWD)), allow},
        {"mmap_approved", keep(prefilled(EVENT_MMAP_PRE, w.tool, "/usr/bin/sleep")),
         keep(live(EVENT_MMAP_PRE, caller, "", CALLER_TOOL_FD)), allow},
    };
    kinds[1].pre->ev.fd = UNTRACKED_FD;
    kinds[3].live->ev.mode = 5;  // PROT_READ | PROT_EXEC
    kinds[3].pre->ev.mode = 5;
    for (const Kind& k : kinds) {
        benchmark::RegisterBenchmark((std::string("AbstractEvent/prefilled/") + k.name).c_str(), single, k.pre, k.x);
        benchmark::RegisterBenchmark((std::string("AbstractEvent/live/") + k.name).c_str(), single, k.live, k.x);
    }

    // The tracked pair, pre-filled and live.
    Event* open_pre = keep(prefilled(EVENT_OPEN_POST, w.data, "/usr/bin/sleep"));
    Event* close_pre = keep(prefilled(EVENT_CLOSE_PRE, w.data, "/usr/bin/sleep"));
    Event* open_live = keep(live(EVENT_OPEN_POST, caller, w.data, CALLER_DATA_FD));
    Event* close_live = keep(live(EVENT_CLOSE_PRE, caller, "", CALLER_DATA_FD));
    for (Event* e : {open_pre, close_pre}) e->ev.fd = CALLER_DATA_FD;
    for (Event* e : {open_pre, open_live}) {
        e->ev.flags = OPEN_FOR_WRITING;
        e->ev.rc = CALLER_DATA_FD;
    }
    benchmark::RegisterBenchmark("AbstractEvent/prefilled/open_post_close_pre_tracked", tracked_pair, open_pre,
                                 close_pre);
    benchmark::RegisterBenchmark("AbstractEvent/live/open_post_close_pre_tracked", tracked_pair, open_live,
                                 close_live);

    for (const char* series : {"prefilled", "live"}) {
        Event* model = series[0] == 'p' ? kinds[0].pre : kinds[0].live;
        benchmark::RegisterBenchmark((std::string("AbstractEventThreads/") + series + "/exec_approved_hit").c_str(),
                                     threaded, model)
            ->Threads(1)
            ->Threads(2)
            ->Threads(4)
            ->UseRealTime();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    env = new Env;
    register_all();
    int rc = bench::run(argc, argv, "abstract_event");
    delete env;
    return rc;
}
