#include "status_snapshot.h"

#include <lua.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json_writer.h"

#ifndef AC_VERSION
#define AC_VERSION "0.0.0-dev"
#endif

const char* const status_dir = "/run/acagent";
const char* const status_fallback_prefix = "acagent-";

void WorkerStatus::finish(const char* err)
{
    if (err) snprintf(error, sizeof error, "%s", err);
    state.store(err ? worker_failed : worker_finished, std::memory_order_release);
}

std::string status_fallback_dir()
{
    const char* tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

std::string default_status_path()
{
    std::string pid = std::to_string(getpid());
    if ((mkdir(status_dir, 0755) == 0 || errno == EEXIST) && access(status_dir, W_OK | X_OK) == 0)
        return std::string(status_dir) + "/" + pid + ".json";
    return status_fallback_dir() + "/" + status_fallback_prefix + pid + ".json";
}

namespace {

std::string temp_path_for(const std::string& path)
{
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base) + ".tmp";
}

double seconds_since(const timespec& t0)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - t0.tv_sec) + (now.tv_nsec - t0.tv_nsec) / 1e9;
}

std::string utc_text(time_t t)
{
    tm tm;
    char buf[32];
    gmtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool write_file(const std::string& tmp, const std::string& path, const std::string& text)
{
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
}

const char* state_name(int s)
{
    return s == worker_failed ? "failed" : s == worker_finished ? "finished" : "running";
}

}  // namespace

namespace {

// Removed also when a worker calls os.exit or a signal ends the agent.
char g_status_path[4096];

void remove_status_file() { unlink(g_status_path); }

void remove_and_die(int sig)
{
    unlink(g_status_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

void remove_at_exit(const std::string& path)
{
    snprintf(g_status_path, sizeof g_status_path, "%s", path.c_str());
    atexit(remove_status_file);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(sig, remove_and_die);
    }
}

}  // namespace

bool StatusReporter::start(const StatusConfig& cfg, const WorkerStatus* workers, int count)
{
    cfg_ = cfg;
    char* script = realpath(cfg.script.c_str(), nullptr);
    if (script) cfg_.script = script;
    free(script);
    remove_at_exit(cfg_.path);
    tmp_path_ = temp_path_for(cfg.path);
    workers_ = workers;
    count_ = count;
    started_ = time(nullptr);
    clock_gettime(CLOCK_MONOTONIC, &started_mono_);
    L_ = new_status_state(cfg_.exe_dir);
    running_ = pthread_create(&thread_, nullptr, run, this) == 0;
    if (!running_) {
        fprintf(stderr, "acagent: cannot start the status thread; no status snapshot\n");
        if (L_) lua_close(L_);
        L_ = nullptr;
    }
    return running_;
}

void StatusReporter::stop()
{
    if (!running_) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_one();
    pthread_join(thread_, nullptr);
    running_ = false;
    unlink(cfg_.path.c_str());
}

void* StatusReporter::run(void* self)
{
    static_cast<StatusReporter*>(self)->loop();
    return nullptr;
}

void StatusReporter::loop()
{
    lua_State* L = L_;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        bool last = stopping_;
        lock.unlock();
        write_snapshot(L);
        lock.lock();
        if (last) break;
        cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
    }
    lock.unlock();
    if (L) lua_close(L);
    L_ = nullptr;
}

void StatusReporter::write_header(JsonWriter& j) const
{
    j.key("version");
    j.string(AC_VERSION);
    j.key("pid");
    j.number(getpid());
    j.key("start_time");
    j.number((double)started_);
    j.key("start_time_utc");
    j.string(utc_text(started_).c_str());
    j.key("time");
    j.number((double)time(nullptr));
    j.key("uptime");
    j.number((double)(long long)seconds_since(started_mono_));
    j.key("script");
    j.string(cfg_.script.c_str());
}

void StatusReporter::write_workers(JsonWriter& j) const
{
    j.key("workers");
    j.begin_array();
    for (int i = 0; i < count_; i++) {
        int s = workers_[i].state.load(std::memory_order_acquire);
        j.begin_object();
        j.key("index");
    j.number(i + 1);
        j.key("state");
    j.string(state_name(s));
        if (s == worker_failed) {
            j.key("error");
            j.string(workers_[i].error);
        }
        j.end_object();
    }
    j.end_array();
}

void StatusReporter::write_snapshot(lua_State* L)
{
    JsonWriter j;
    j.begin_object();
    write_header(j);
    write_workers(j);
    if (L) {
        write_engine_status(L, j);
    } else {
        j.key("modules_error");
        j.string("cannot create the status thread's Lua state");
    }
    j.end_object();
    std::string text = j.text() + "\n";
    if (!write_file(tmp_path_, cfg_.path, text) && !warned_) {
        fprintf(stderr, "acagent: cannot write status snapshot %s: %s\n", cfg_.path.c_str(), strerror(errno));
        warned_ = true;
    }
}
