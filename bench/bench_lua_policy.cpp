// (4) The Lua alternative: every event handed to a Lua policy function that
// decides it from Lua tables (bench/lua_policy.lua), against the same events
// and verdicts as the fast-path benchmarks.
//
// LuaPolicy/prefilled/<kind>: the decision alone. The event table is built
//   the way get builds it for Lua (lac_push_event_table) from a context filled
//   like the test entry's, and policy.decide(ev) returns the reply code.
//   Compare with AbstractEvent/prefilled/<kind>.
// LuaPolicy/gettest/<kind>: end to end over the simulated driver. Lua reads
//   raw records (h:gettest), resolves process and file with the module's
//   /proc functions, decides and replies (policy.handle). Compare with
//   Get/<kind>.
// The engine is linked in and offered to Lua as "lacdc" (one copy of it).
#include <fcntl.h>

#include <cstring>

#include "base/context.h"
#include "base/event_record.h"
#include "lua/event_table.h"
#include "channel/reply.h"
#include "common.h"
#include "test_entry_fill.h"

extern "C" int luaopen_lacdc(lua_State* L);

namespace {

constexpr int kBatch = 32;
constexpr int32_t TEST_PID = 555;

struct Env : bench::LiveSet {
    lua_State* L = bench::new_lua();
};
Env* env;

// A record and the context the fast path would have filled for it.
struct Event {
    ac_event_record rec;
    ac_event_info ev;
    ac_decision_ctx ctx;
};

Event* prefilled(uint32_t type, const std::string& rlpath, const char* procName)
{
    auto* e = new Event;
    memset(e, 0, sizeof *e);
    e->rec.type = type;
    e->rec.pid = TEST_PID;
    e->rec.id = 1;
    e->ev.type = type;
    e->ev.pid = TEST_PID;
    e->ctx.event = &e->ev;
    e->ctx.pid = TEST_PID;
    e->ctx.cache_type = -1;
    e->ctx.isdrift = 2;  // not reported
    e->ctx.isexec = 2;
    bench::fill_as_test_entry(&e->ev, &e->ctx, rlpath, procName);
    return e;
}

void set_fd(Event* e, int32_t fd, int64_t rc, uint32_t flags)
{
    e->rec.fd = fd;
    e->rec.rc = rc;
    e->rec.flags = flags;
    e->ev.fd = e->ev.dirfd = fd;
    e->ev.rc = (int32_t)rc;
    e->ev.flags = flags;
}

int g_decide = LUA_NOREF;  // policy.decide

// Builds the event table as get does and asks the policy.
inline lua_Integer decide(lua_State* L, const Event& e)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, g_decide);
    size_t bad = 0;
    lac_push_event_table(L, &e.rec, &e.ctx, &bad);
    lua_call(L, 1, 1);
    lua_Integer r = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return r;
}

void BM_prefilled(benchmark::State& state, std::vector<Event*> events, std::vector<lua_Integer> expected)
{
    lua_State* L = env->L;
    for (size_t i = 0; i < events.size(); i++)
        if (!bench::check(state, decide(L, *events[i]) == expected[i], "unexpected verdict")) return;
    bench::AllocMeter meter;
    for (auto _ : state)
        for (const Event* e : events) benchmark::DoNotOptimize(decide(L, *e));
    meter.report(state, (double)events.size());
}

const char* kSetup = R"lua(
local dir, tool, script, data, caller, shell, source = ...
package.path = source .. "/bench/?.lua;" .. package.path
sim = require "vavasim"
lacdc = require "lacdc"
policy = require "lua_policy"
policy.verdicts[tool] = "approved"
policy.verdicts[script] = "approved"
sim.reset()
sim.setup{hook = true, driver = true, node = true}
h = assert(lacdc.open(sim.exitchannel()))
lacdc.ClearCache()  -- nothing for the fast path: the policy decides
local kinds = require("event_kinds").new(sim, lacdc, {tool = tool, data = data, caller = caller, shell = shell})
feed = kinds.feed
-- The policy loop: every queued record to Lua, until the timeout.
function drain()
  local handle = policy.handle
  while true do
    local ev, code = h:gettest(0)
    if not ev then return code == -4 end
    handle(h, ev)
  end
end
function verify(kind, n)
  sim.replies()
  feed(kind, n)
  if not drain() then return "gettest failed" end
  return kinds.check(kind, n)
end
return policy.decide
)lua";

void BM_gettest(benchmark::State& state, const char* kind)
{
    bench::lua_batches(state, env->L, kind, kBatch, "gettest failed");
}

}  // namespace

int main(int argc, char** argv)
{
    bench::ensure_sim_preloaded(argv);
    env = new Env;
    lua_State* L = env->L;
    luaL_requiref(L, "lacdc", luaopen_lacdc, 0);
    lua_pop(L, 1);
    if (luaL_loadstring(L, kSetup) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }
    const bench::Workdir& w = env->dir;
    for (const std::string* s : {&w.dir, &w.tool, &w.script, &w.data}) lua_pushstring(L, s->c_str());
    lua_pushinteger(L, env->caller->pid());
    lua_pushinteger(L, env->shell->pid());
    lua_pushstring(L, BENCH_SOURCE_DIR);
    if (lua_pcall(L, 7, 1, 0) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }
    g_decide = luaL_ref(L, LUA_REGISTRYINDEX);

    lua_Integer allow = REPLY_ALLOW, ignore = REPLY_IGNORE, track = REPLY_TRACKFILE;
    Event* exec = prefilled(EVENT_EXECVE_PRE, w.tool, "/usr/bin/sleep");
    Event* close_untracked = prefilled(EVENT_CLOSE_PRE, "", nullptr);
    set_fd(close_untracked, 77, 0, 0);
    Event* open_post = prefilled(EVENT_OPEN_POST, w.data, "/usr/bin/sleep");
    set_fd(open_post, 6, 6, O_WRONLY | O_CREAT | O_TRUNC);
    Event* close_tracked = prefilled(EVENT_CLOSE_PRE, w.data, "/usr/bin/sleep");
    set_fd(close_tracked, 6, 0, 0);
    Event* script = prefilled(EVENT_OPEN_PRE, w.script, "/usr/bin/bash");
    Event* mmap = prefilled(EVENT_MMAP_PRE, w.tool, "/usr/bin/sleep");
    mmap->rec.mode = 5;
    benchmark::RegisterBenchmark("LuaPolicy/prefilled/exec_approved_hit", BM_prefilled, std::vector<Event*>{exec},
                                 std::vector<lua_Integer>{allow});
    benchmark::RegisterBenchmark("LuaPolicy/prefilled/close_untracked", BM_prefilled,
                                 std::vector<Event*>{close_untracked}, std::vector<lua_Integer>{ignore});
    benchmark::RegisterBenchmark("LuaPolicy/prefilled/open_post_close_pre_tracked", BM_prefilled,
                                 std::vector<Event*>{open_post, close_tracked},
                                 std::vector<lua_Integer>{track, ignore});
    benchmark::RegisterBenchmark("LuaPolicy/prefilled/script_open_approved", BM_prefilled,
                                 std::vector<Event*>{script}, std::vector<lua_Integer>{allow});
    benchmark::RegisterBenchmark("LuaPolicy/prefilled/mmap_approved", BM_prefilled, std::vector<Event*>{mmap},
                                 std::vector<lua_Integer>{allow});
    for (const char* kind : {"exec_approved_hit", "close_untracked", "open_post_close_pre_tracked",
                             "script_open_approved", "mmap_approved"})
        benchmark::RegisterBenchmark((std::string("LuaPolicy/gettest/") + kind).c_str(), BM_gettest, kind);
    int rc = bench::run(argc, argv, "lua_policy");
    lua_close(L);
    delete env;
    return rc;
}
