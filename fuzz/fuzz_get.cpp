// handle:get over records pushed to the simulated driver (linked in ahead of
// the C library, as if preloaded): raw bytes, or records made to look real (a
// real type, the pid of a live helper shell, names of its files, descriptors
// it holds), read with fuzzed options until the handle is empty, over an
// empty process cache and a drift tracker filled beforehand (up to a full
// ring, maybe one close short of a fresh filter). The engine's logs go to
// /dev/null. Checked: every record is read; at most one reply per record, each
// a valid code for the id of a record read (or the all-zero reply sent when the
// acting process has gone).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cache/drift.h"
#include "cache/object_cache.h"
#include "cache/process_cache.h"
#include "base/event_record.h"
#include "fuzz_common.h"

extern "C" FILE* fopen(const char* path, const char* mode)
{
    using fopen_fn = FILE* (*)(const char*, const char*);
    static fopen_fn next = reinterpret_cast<fopen_fn>(dlsym(RTLD_NEXT, "fopen"));
    return next(path && strncmp(path, "/var/opt/vy_agent/", 18) == 0 ? "/dev/null" : path, mode);
}

namespace {

std::string g_dir;  // removed at exit
pid_t g_helper;
std::vector<std::string> g_names;  // what a record's name may be

// A shell in the directory holding descriptors 3 to 7, reading a pipe whose
// other end only this process holds: it ends with this process.
pid_t start_helper()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) abort();
    pid_t pid = fork();
    if (pid != 0) return close(p[0]), pid;  // p[1] stays open for the life of the fuzzer
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (dup2(p[0], 0) == 0 && chdir(g_dir.c_str()) == 0)
        execl("/bin/sh", "sh", "-c", "exec 3>>run.sh 4>>app.log 5<tool 6<script.py 7<. >/dev/null 2>&1; read x",
              (char*)nullptr);
    _exit(1);
}

int setup(lua_State* L)
{
    char tmpl[] = "/dev/shm/acfuzz-get.XXXXXX";  // not under /tmp/, an excluded location
    if (!mkdtemp(tmpl)) abort();
    g_dir = tmpl;
    atexit([] { (void)!system(("rm -rf '" + g_dir + "'").c_str()); });
    const std::string make = "cd '" + g_dir + "' && printf '#!/bin/sh\\nexit 0\\n' >tool && printf '#!/bin/sh\\n' >run.sh"
                             " && echo 'print(1)' >script.py && echo log >app.log && : >empty && chmod 755 tool run.sh"
                             " && mkdir sub";
    if (system(make.c_str()) != 0) abort();
    g_helper = start_helper();
    for (const char* n : {"/tool", "/run.sh", "/script.py", "/app.log", "/empty", "/sub", "/sub/../tool"})
        g_names.push_back(g_dir + n);
    for (const char* n : {"tool", "run.sh", "./script.py", "../", "/usr/bin/true", "/bin/sh", "/proc/self/exe",
                          "/dev/null", "/tmp/x.sh", "", "/"})
        g_names.push_back(n);
    g_names.push_back(std::string(1023, 'a'));
    g_names.push_back("/" + std::string(1022, 'b'));
    AddToCache((g_dir + "/tool").c_str(), AC_CACHE_APPROVED, nullptr);
    AddToCache((g_dir + "/script.py").c_str(), AC_CACHE_BLOCK, "ruleset-1-2-3-4");
    AddToCache((g_dir + "/run.sh").c_str(), AC_CACHE_UNRECOGNIZED, nullptr);
    return fuzz::open_sim_handle(L);
}

template <typename T>
void put(std::string& rec, size_t at, T v)
{
    memcpy(&rec[at], &v, sizeof v);
}

template <typename T, size_t N>
T pick(FuzzedDataProvider& in, const T (&from)[N])
{
    return from[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

constexpr uint32_t kTypes[] = {
    EVENT_DUP_PRE, EVENT_DUP_POST, EVENT_OPEN_PRE, EVENT_OPEN_POST, EVENT_CHMOD_PRE, EVENT_CHMOD_POST,
    EVENT_FCHMOD_PRE, EVENT_FCHMOD_POST, EVENT_CLOSE_PRE, EVENT_EXECVE_PRE, EVENT_RENAME_POST, EVENT_CHOWN_PRE,
    EVENT_CHOWN_POST, EVENT_LCHOWN_POST, EVENT_FCHOWN_POST, EVENT_FCHOWNAT_POST, EVENT_UNLINK_POST,
    EVENT_UNLINKAT_POST, EVENT_MMAP_PRE, EVENT_MMAP_POST, EVENT_WRITE_PRE, EVENT_NULL, TYPE_PROC_START,
    AC_EVENT_TYPE_COUNT,
};
constexpr int32_t kFds[] = {AC_FD_CWD, 3, 4, 5, 6, 7, 0, -1, 1 << 30};

std::string make_record(FuzzedDataProvider& in)
{
    uint8_t how = in.ConsumeIntegral<uint8_t>();
    std::string rec = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, AC_EVENT_RECORD_SIZE + 64));
    if (!(how & 0x80)) return rec;  // the raw bytes as they are
    rec.resize(std::max(rec.size(), (size_t)AC_EVENT_RECORD_SIZE), '\0');
    put<uint32_t>(rec, offsetof(ac_event_record, type), pick(in, kTypes));
    const uint32_t pids[] = {(uint32_t)g_helper, (uint32_t)getppid(), (uint32_t)getpid()};  // getpid: filtered out
    if ((how & 3) != 3) put<uint32_t>(rec, offsetof(ac_event_record, pid), pids[how & 3]);
    if (how & 4) {
        put<int32_t>(rec, offsetof(ac_event_record, fd), pick(in, kFds));
        put<int32_t>(rec, offsetof(ac_event_record, oldfd), pick(in, kFds));
        const int64_t rc = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int64_t>(-2, 8);
        put<int64_t>(rec, offsetof(ac_event_record, rc), rc);
        put<uint32_t>(rec, offsetof(ac_event_record, flags), in.ConsumeBool() ? 0x241 : in.ConsumeIntegral<uint32_t>());
    }
    auto set_name = [&](size_t field, size_t len_at) {
        const std::string& n = g_names[in.ConsumeIntegralInRange<size_t>(0, g_names.size() - 1)];
        size_t len = std::min(n.size(), (size_t)AC_NAME_FIELD);
        memset(&rec[field], 0, AC_NAME_FIELD);
        memcpy(&rec[field], n.data(), len);
        if (how & 0x40) len = in.ConsumeBool() ? NAME_FAULT : in.ConsumeIntegral<uint32_t>();
        put<uint32_t>(rec, len_at, (uint32_t)len);
    };
    if (how & 8) set_name(offsetof(ac_event_record, name), offsetof(ac_event_record, name_len));
    if (how & 0x10) set_name(offsetof(ac_event_record, oldname), offsetof(ac_event_record, oldname_len));
    return rec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static lua_State* L = fuzz::new_state();
    static int handle = setup(L);
    FuzzedDataProvider in(data, size);
    DriftClear();
    ClearProcessCache();
    if (in.ConsumeBool()) {  // one untracked close short of the fresh-filter exchange
        drift_lock_guard lock;
        drift.counters[DRIFT_dirt] = DRIFT_DIRT_LIMIT - 1;
    }
    // Up to a full ring, whose next open makes room (a scan for dead processes
    // or the loss of the oldest), of the helper, of processes gone, of this one.
    for (unsigned i = 0, n = in.ConsumeIntegralInRange(0, (int)DRIFT_RING_SIZE + 2); i < n; i++) {
        const uint32_t pids[] = {(uint32_t)g_helper, 0x3FFFFFF0 + (i & 7), (uint32_t)getpid()};
        DriftOpen(pids[in.ConsumeIntegralInRange(0, 2)], in.ConsumeIntegralInRange(0, 9));
    }
    const int ac_on = in.ConsumeIntegralInRange(0, 2), lockdown = in.ConsumeIntegralInRange(0, 2);
    const int maintenance = in.ConsumeIntegralInRange(0, 2), log_mode = in.ConsumeIntegralInRange(0, 2);
    const lua_Number start = in.ConsumeBool() ? 0 : (lua_Number)in.ConsumeIntegral<uint64_t>();
    const int dir_choice = in.ConsumeIntegralInRange(0, 3);
    std::string basedir = dir_choice == 0   ? ""
                                : dir_choice == 1 ? g_dir
                                : dir_choice == 2 ? "/nowhere;;" + g_dir + "/sub;/usr"
                                                  : in.ConsumeRandomLengthString(64);
    basedir.erase(std::remove(basedir.begin(), basedir.end(), '\0'), basedir.end());  // a NUL is an argument error

    const unsigned records = in.ConsumeIntegralInRange(1, 12);
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < records; i++) {
        std::string rec = make_record(in);
        FUZZ_CHECK(drv::push(0, rec.data(), rec.size()) == 0);
        rec.resize(std::max(rec.size(), offsetof(ac_event_record, id) + 4), '\0');  // zero beyond its end
        uint32_t id;
        memcpy(&id, rec.data() + offsetof(ac_event_record, id), sizeof id);
        ids.push_back(id);
    }
    // handle:get(0, ac_on, lockdown, logMode, basedir, maintenanceMode, startTime) until a
    // timeout says the handle is empty; an error is a refused record (a name too long): read.
    bool empty = false;
    for (unsigned i = 0; i <= records + 1 && !empty; i++) {
        lua_settop(L, 0);
        lua_rawgeti(L, LUA_REGISTRYINDEX, handle);
        lua_getfield(L, 1, "get");
        lua_pushvalue(L, 1);
        for (lua_Integer v : {0, ac_on, lockdown, log_mode}) lua_pushinteger(L, v);
        lua_pushlstring(L, basedir.data(), basedir.size());
        lua_pushinteger(L, maintenance);
        lua_pushnumber(L, start);
        empty = lua_pcall(L, 8, LUA_MULTRET, 0) == LUA_OK && !lua_istable(L, 2);
        FUZZ_CHECK(!empty || lua_isnil(L, 2));
    }
    FUZZ_CHECK(empty);

    // At most one reply per event (Lua answers nothing here).
    std::vector<drv::Reply> replies = drv::take_replies();
    FUZZ_CHECK(replies.size() <= records);
    for (const drv::Reply& r : replies) {
        if (r.reply == 0 && r.id == 0 && r.eta == 0 && r.error == 0) continue;
        FUZZ_CHECK(r.reply >= 1 && r.reply <= 5 && std::find(ids.begin(), ids.end(), r.id) != ids.end());
    }
    drv::take_commands();
    fuzz::end_run(L, 256);
    return 0;
}
