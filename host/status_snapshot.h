// The status snapshot of a running acagent: a thread of its own writes, every
// second and once at the end, the workers' states and the engine's counters
// as JSON to a file that `acagent status` reads.
#pragma once
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>

class JsonWriter;

enum worker_state : int { worker_running, worker_finished, worker_failed };

// Written once by its worker, read at any time by the status thread.
struct WorkerStatus {
    std::atomic<int> state{worker_running};
    char error[1024] = {};  // the Lua error text, complete before state turns failed
    void finish(const char* err);
};

struct StatusConfig {
    std::string path;  // empty: no snapshot
    std::string script;
    std::string exe_dir;  // the workers' package.cpath directory
};

// The path of the snapshot when no --status-file is given: /run/acagent/PID.json,
// else in $TMPDIR (or /tmp) when /run/acagent cannot be made.
std::string default_status_path();
// Where `acagent status` looks for snapshots, the preferred place first.
extern const char* const status_dir;
std::string status_fallback_dir();
extern const char* const status_fallback_prefix;

class StatusReporter {
public:
    // Starts the status thread; false (with a message) when it cannot. Its
    // Lua state loads the engine's modules here, in the calling thread: called
    // before the workers start, no two threads run the modules' initialisers.
    bool start(const StatusConfig& cfg, const WorkerStatus* workers, int count);
    // Writes the last snapshot, ends the thread and removes the file.
    void stop();

private:
    static void* run(void* self);
    void loop();
    void write_snapshot(struct lua_State* L);
    void write_header(JsonWriter& j) const;
    void write_workers(JsonWriter& j) const;

    StatusConfig cfg_;
    std::string tmp_path_;
    const WorkerStatus* workers_ = nullptr;
    int count_ = 0;
    time_t started_ = 0;
    timespec started_mono_{};
    bool warned_ = false;
    bool running_ = false;
    bool stopping_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    pthread_t thread_{};
    struct lua_State* L_ = nullptr;
};

// Adds the engine's counter groups (and the driver's status) to the object
// open in `j`, from the status thread's own Lua state.
void write_engine_status(struct lua_State* L, JsonWriter& j);
// Makes the status thread's Lua state: its package.cpath as the workers' one.
struct lua_State* new_status_state(const std::string& exe_dir);
