// (2) The fast path through get over the simulated driver, as the agent's Lua
// loop calls it: records for live processes are queued on the device (not
// timed), then one h:get(0, ...) call answers them all in the fast path,
// resolving the processes and files from /proc, and returns at the timeout.
// Time and allocations are per event; the program preloads build/libvavasim.so
// (re-executing itself) and loads the engine with require "lacdc" (build/ac.so).
//
// Get/empty_call is a get that finds nothing queued: the per-call cost, which
// the per-event figures include once per batch of kBatch events.
#include <fcntl.h>

#include <cstring>

#include "common.h"

namespace {

constexpr int kBatch = 32;  // fits the device's socket: reads never refill it

struct Env : bench::LiveSet {
    lua_State* L = bench::new_lua();
};
Env* env;

// The Lua side: the driver, one handle, the records of each kind and the two
// calls the benchmark times or prepares.
const char* kSetup = R"lua(
local dir, tool, script, data, caller, shell, source = ...
package.path = source .. "/bench/?.lua;" .. package.path
sim = require "vavasim"
lacdc = require "lacdc"
sim.reset()
sim.setup{hook = true, driver = true, node = true}
h = assert(lacdc.open(sim.exitchannel()))
lacdc.ClearCache()
lacdc.AddToCache(tool, 1)
lacdc.AddToCache(script, 1)
local kinds = require("event_kinds").new(sim, lacdc, {tool = tool, data = data, caller = caller, shell = shell})
feed = kinds.feed
-- One get: everything queued is answered in the fast path, then the timeout.
function drain()
  local ev, code = h:get(0, 1, 0, 0, "", 0, 0)
  return ev == nil and code == -4
end
-- Sends n events through get and checks every reply; an error text or nil.
function verify(kind, n)
  sim.replies()
  lacdc.DriftClear()
  feed(kind, n)
  local ev, code, msg = h:get(0, 1, 0, 0, "", 0, 0)
  if ev then return "an event reached Lua: " .. tostring(ev.realpath) end
  if code ~= -4 then return "get: " .. tostring(msg) end
  return kinds.check(kind, n)
end
)lua";

void BM_get(benchmark::State& state, const char* kind)
{
    bench::lua_batches(state, env->L, kind, kBatch, "an event was not answered in the fast path");
}

void BM_empty_call(benchmark::State& state)
{
    lua_State* L = env->L;
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(bench::lua_drain(L));
    meter.report(state, 1);
}

}  // namespace

int main(int argc, char** argv)
{
    bench::ensure_sim_preloaded(argv);
    bench::attribute_sim_allocations();
    env = new Env;
    lua_State* L = env->L;
    if (luaL_loadstring(L, kSetup) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }
    for (const std::string* s : {&env->dir.dir, &env->dir.tool, &env->dir.script, &env->dir.data})
        lua_pushstring(L, s->c_str());
    lua_pushinteger(L, env->caller->pid());
    lua_pushinteger(L, env->shell->pid());
    lua_pushstring(L, BENCH_SOURCE_DIR);
    if (lua_pcall(L, 7, 0, 0) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }
    for (const char* kind : {"exec_approved_hit", "close_untracked", "open_post_close_pre_tracked",
                             "script_open_approved", "mmap_approved"})
        benchmark::RegisterBenchmark((std::string("Get/") + kind).c_str(), BM_get, kind);
    benchmark::RegisterBenchmark("Get/empty_call", BM_empty_call);
    int rc = bench::run(argc, argv, "get");
    lua_close(L);
    delete env;
    return rc;
}
