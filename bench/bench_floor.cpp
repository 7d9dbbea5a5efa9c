// (3) The floor: what deciding one exec event cannot avoid, measured bare.
// For an exec of a program by a live process: the readlink of the process's
// executable link, the realpath of the program's name, a stat of it, and one
// SHA-256 of the resolved path. Floor/exec_event does the four in sequence; the
// others time each part, plus a few costs the fast path and the channel add
// (getpid, the root link's readlink, a poll and read of one record from a
// socket) and the SHA-256 implementations compared with their allocations.
#define OPENSSL_SUPPRESS_DEPRECATED  // SHA256_Init and friends, for comparison
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common.h"

namespace {

struct Env {
    bench::Workdir dir;
    std::unique_ptr<bench::LiveProcess> caller{bench::spawn_caller(dir)};
    std::string exe_link = "/proc/" + std::to_string(caller->pid()) + "/exe";
    std::string root_link = "/proc/" + std::to_string(caller->pid()) + "/root";
};
Env* env;

inline void sha256_lowlevel(const char* text, unsigned char out[32])
{
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Update(&c, text, strlen(text));
    SHA256_Final(out, &c);
}

// The four steps of one exec event.
inline bool exec_event(const char* link, const char* name)
{
    char exe[PATH_MAX];
    ssize_t n = readlink(link, exe, sizeof exe - 1);
    if (n < 0) return false;
    exe[n] = '\0';
    char resolved[PATH_MAX];
    if (!realpath(name, resolved)) return false;
    struct stat st;
    if (stat(resolved, &st) != 0) return false;
    unsigned char digest[32];
    sha256_lowlevel(resolved, digest);
    benchmark::DoNotOptimize(digest);
    return true;
}

void BM_exec_event(benchmark::State& state)
{
    if (!bench::check(state, exec_event(env->exe_link.c_str(), env->dir.tool.c_str()), "exec event steps")) return;
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(exec_event(env->exe_link.c_str(), env->dir.tool.c_str()));
    meter.report(state, 1);
}

void readlink_of(benchmark::State& state, const std::string* link)
{
    char buf[PATH_MAX];
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(readlink(link->c_str(), buf, sizeof buf - 1));
    meter.report(state, 1);
}

void BM_realpath(benchmark::State& state)
{
    char buf[PATH_MAX];
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(realpath(env->dir.tool.c_str(), buf));
    meter.report(state, 1);
}

void BM_stat(benchmark::State& state)
{
    struct stat st;
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(stat(env->dir.tool.c_str(), &st));
    meter.report(state, 1);
}

void BM_getpid(benchmark::State& state)
{
    bench::AllocMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(getpid());
    meter.report(state, 1);
}

void BM_sha256_lowlevel(benchmark::State& state)
{
    unsigned char d[32];
    bench::AllocMeter meter;
    for (auto _ : state) {
        sha256_lowlevel(env->dir.tool.c_str(), d);
        benchmark::DoNotOptimize(d);
    }
    meter.report(state, 1);
}

const EVP_MD* fetched_sha256()
{
    static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    return md;
}

// HashString through EVP with a context per call: the cost the fast path avoids.
void BM_sha256_evp_new_ctx(benchmark::State& state)
{
    const EVP_MD* md = fetched_sha256();
    const char* text = env->dir.tool.c_str();
    unsigned char d[32];
    unsigned int len;
    bench::AllocMeter meter;
    for (auto _ : state) {
        EVP_MD_CTX* c = EVP_MD_CTX_new();
        EVP_DigestInit_ex(c, md, nullptr);
        EVP_DigestUpdate(c, text, strlen(text));
        EVP_DigestFinal_ex(c, d, &len);
        EVP_MD_CTX_free(c);
        benchmark::DoNotOptimize(d);
    }
    meter.report(state, 1);
}

// One context kept for every digest, initialised with the digest each time
// (again_type) or, after a first initialisation, with a null type.
void time_evp_on_one_ctx(benchmark::State& state, bool again_type)
{
    const EVP_MD* md = fetched_sha256();
    const char* text = env->dir.tool.c_str();
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    if (!again_type) EVP_DigestInit_ex(c, md, nullptr);
    unsigned char d[32];
    unsigned int len;
    bench::AllocMeter meter;
    for (auto _ : state) {
        EVP_DigestInit_ex(c, again_type ? md : nullptr, nullptr);
        EVP_DigestUpdate(c, text, strlen(text));
        EVP_DigestFinal_ex(c, d, &len);
        benchmark::DoNotOptimize(d);
    }
    meter.report(state, 1);
    EVP_MD_CTX_free(c);
}

// EVP_DigestInit_ex still allocates the provider's state on a kept context.
void BM_sha256_evp_reused_ctx(benchmark::State& state) { time_evp_on_one_ctx(state, true); }

// Re-initialised with a null type: the same, measured apart.
void BM_sha256_evp_reinit(benchmark::State& state) { time_evp_on_one_ctx(state, false); }

// The channel's transport, with a socket pair standing in for the device:
// poll and read of one 2136-byte record (the records are queued untimed).
void BM_poll_read_record(benchmark::State& state)
{
    int sv[2];
    if (!bench::check(state, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) == 0, "socketpair")) return;
    constexpr int kBatch = 32;
    char rec[2136] = {};
    bench::AllocMeter meter;
    while (state.KeepRunningBatch(kBatch)) {
        state.PauseTiming();
        meter.pause();
        for (int i = 0; i < kBatch; i++)
            if (send(sv[1], rec, sizeof rec, 0) != (ssize_t)sizeof rec) state.SkipWithError("send");
        meter.resume();
        state.ResumeTiming();
        for (int i = 0; i < kBatch; i++) {
            struct pollfd p = {sv[0], POLLIN, 0};
            benchmark::DoNotOptimize(poll(&p, 1, 0));
            benchmark::DoNotOptimize(read(sv[0], rec, sizeof rec));
        }
    }
    meter.report(state, 1);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace

int main(int argc, char** argv)
{
    env = new Env;
    benchmark::RegisterBenchmark("Floor/exec_event", BM_exec_event);
    benchmark::RegisterBenchmark("Floor/readlink_exe", readlink_of, &env->exe_link);
    benchmark::RegisterBenchmark("Floor/realpath", BM_realpath);
    benchmark::RegisterBenchmark("Floor/stat", BM_stat);
    benchmark::RegisterBenchmark("Floor/sha256_path", BM_sha256_lowlevel);
    benchmark::RegisterBenchmark("Extra/getpid", BM_getpid);
    benchmark::RegisterBenchmark("Extra/readlink_root", readlink_of, &env->root_link);
    benchmark::RegisterBenchmark("Extra/poll_read_record", BM_poll_read_record);
    benchmark::RegisterBenchmark("Extra/sha256_evp_new_ctx", BM_sha256_evp_new_ctx);
    benchmark::RegisterBenchmark("Extra/sha256_evp_reused_ctx", BM_sha256_evp_reused_ctx);
    benchmark::RegisterBenchmark("Extra/sha256_evp_reinit", BM_sha256_evp_reinit);
    int rc = bench::run(argc, argv, "floor");
    delete env;
    return rc;
}
