// Shared parts of the benchmark programs: allocation metering around a
// measured loop, the files and live processes the events are about, the
// simulated driver's preload, Lua states, and the main that writes the CSV.
#pragma once
#include <benchmark/benchmark.h>
#include <sys/types.h>

#include <lua.hpp>
#include <memory>
#include <string>
#include <vector>

#include "alloc_count.h"

namespace bench {

// The simulated driver's allocations are counted apart from the others
// (sim_allocs_per_event) in programs that call this first. Each allocation in
// a measured span then costs a walk of its call stack (microseconds): only for
// benchmarks whose measured spans allocate next to nothing.
void attribute_sim_allocations();

// Counts the calling thread's allocations from construction to report().
// With BENCH_ALLOC_TRACE set in the environment, the call stacks of the first
// allocations in that span are written to standard error by report().
class AllocMeter {
public:
    AllocMeter();
    // Leaves out the allocations made between pause() and resume() (the
    // untimed preparation of a batch).
    void pause();
    void resume();
    // Adds allocs_per_event to the state: allocations made by this thread
    // since construction (less those left out), divided by the events
    // measured. events_per_iteration is also recorded, as "events_per_iter".
    void report(benchmark::State& state, double events_per_iteration) const;
    uint64_t allocs() const;

private:
    bench_alloc_snapshot start_;
    bench_alloc_snapshot paused_{};
    uint64_t left_out_ = 0;
    uint64_t left_out_attributed_ = 0;
};

// The files the events are about, in a fresh directory under /srv, outside
// every location the drift tracker excludes: tool (an executable copy of
// /usr/bin/true), run.sh (a shell script) and out.dat (a data file). Removed by
// the destructor.
struct Workdir {
    std::string dir, tool, script, data;
    Workdir();
    ~Workdir();
    Workdir(const Workdir&) = delete;
    Workdir& operator=(const Workdir&) = delete;
};

// A sleeping process whose /proc entries the fast path resolves: its working
// directory is dir and it holds the given descriptors. The constructor waits
// until /proc/<pid>/exe shows the program; the destructor kills and reaps it.
class LiveProcess {
public:
    struct Fd {
        int fd;
        std::string path;
        int flags;
    };
    // program: absolute path of the executable; args: argv from argv[1] on.
    LiveProcess(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                const std::vector<Fd>& fds, const std::string& exe_suffix);
    ~LiveProcess();
    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A `sleep` in dir holding tool on descriptor 5 (read) and out.dat on 6 (write);
// a `bash` (an interpreter of shell scripts) in dir.
LiveProcess* spawn_caller(const Workdir& w);
LiveProcess* spawn_shell(const Workdir& w);

// The work directory and both live processes, torn down in reverse.
struct LiveSet {
    Workdir dir;
    std::unique_ptr<LiveProcess> caller{spawn_caller(dir)};
    std::unique_ptr<LiveProcess> shell{spawn_shell(dir)};
};

// Re-executes the program with build/libvavasim.so preloaded unless it is.
void ensure_sim_preloaded(char** argv);

// A Lua state with the standard libraries and package.cpath = build/?.so.
lua_State* new_lua();
// Runs a chunk with the given number of results; exits with the message on error.
void lua_run(lua_State* L, const char* code, int nresults = 0);
// Calls the global function fn, with (kind, n) as arguments when kind is given;
// exits with the message on error.
void lua_call_global(lua_State* L, const char* fn, const char* kind, int n, int nresults);
// Calls the global verify(kind, n), which gives nil or why the replies are
// wrong; fails the benchmark with the reason.
bool lua_verify(benchmark::State& state, lua_State* L, const char* kind, int n);
// Calls the global drain(), which gives whether every queued event was handled.
bool lua_drain(lua_State* L);
// The per-event loop of a Lua driven benchmark: verify, then batches of n
// events of a kind queued by feed(kind, n) untimed and handled by one timed
// drain(), then verify again; `failure` says what a false drain() means.
void lua_batches(benchmark::State& state, lua_State* L, const char* kind, int n, const char* failure);

// Runs the registered benchmarks. Unless --benchmark_out is given, the results
// also go as CSV to $BENCH_RESULTS/<name>.csv (default: the current directory).
int run(int argc, char** argv, const char* name);

// Fails the benchmark (and says why) unless cond holds; true when it holds.
bool check(benchmark::State& state, bool cond, const std::string& what);

}  // namespace bench
