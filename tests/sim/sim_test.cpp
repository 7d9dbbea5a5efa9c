// The simulated driver's own contract, through the calls the engine makes with
// the library preloaded and through its Lua control module. What the engine
// sees of it is shown by tests/lua/drv_*.lua; this file keeps what only the
// driver shows.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <lua.hpp>
#include <poll.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/event_record.h"

namespace {

constexpr unsigned long kReply = 0xACDC02, kCommand = 0xACDC03;
const char* const kNode = "/dev/qnvyac";

#pragma pack(push, 1)
struct ReplyMsg { uint32_t reply, id; int32_t eta; uint8_t reserved[4]; int64_t error; };
struct CommandArgs { uint64_t cmd, resp; uint32_t cmd_len, resp_size, resp_len; };
#pragma pack(pop)

struct CommandResult { int rc, err; std::string resp; uint32_t resp_len; };

CommandResult command(int fd, const std::string& text, uint32_t resp_size = 4096)
{
    std::vector<char> buf(resp_size, '\x5a');
    CommandArgs a{reinterpret_cast<uint64_t>(text.c_str()), reinterpret_cast<uint64_t>(buf.data()),
                  static_cast<uint32_t>(text.size() + 1), resp_size, 0};
    errno = 0;
    int rc = ioctl(fd, kCommand, &a);
    return {rc, errno, std::string(buf.data(), std::min(a.resp_len, resp_size)), a.resp_len};
}

// The id of a getfilefilter answer: 20 bytes, the id last.
uint32_t filter_id(const std::string& resp)
{
    uint32_t id = 0;
    if (resp.size() == 20) memcpy(&id, resp.data() + 16, 4);
    return id;
}

int errno_of(int rc) { return rc == -1 ? errno : 0; }

long finit(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    long rc = syscall(SYS_finit_module, fd, "", 0);
    int err = errno;
    close(fd);
    return rc == 0 ? 0 : err;
}

long unload(const char* name) { return syscall(SYS_delete_module, name, O_NONBLOCK) == 0 ? 0 : errno; }

short poll_one(int fd, int timeout)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout) < 0 ? -1 : p.revents;
}

ac_event_record read_record(int fd, ssize_t* got = nullptr)
{
    ac_event_record rec;
    memset(&rec, 0xee, sizeof rec);
    ssize_t n = read(fd, &rec, sizeof rec);
    if (got) *got = n;
    return rec;
}

// Through fopen, as the engine reads it.
std::string devices()
{
    std::string text;
    FILE* f = fopen("/proc/devices", "r");
    for (char line[128]; f && fgets(line, sizeof line, f);) text += line;
    if (f) fclose(f);
    return text;
}

class Sim : public ::testing::Test {
protected:
    lua_State* L = nullptr;
    std::string dir;

    void SetUp() override
    {
        L = luaL_newstate();
        luaL_openlibs(L);
        lua(std::string("package.cpath = '") + SIM_BUILD_DIR + "/?.so'; sim = require 'vavasim'; sim.reset()");
        char tmpl[] = "/srv/simtest.XXXXXX";  // kept out of /tmp, which the drift tracker excludes
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        lua("sim.reset()");
        lua_close(L);
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }

    // Runs a chunk; its first result as text ("nil" when none), or the error.
    std::string lua(const std::string& chunk)
    {
        int top = lua_gettop(L);
        std::string out = "nil";
        if (luaL_dostring(L, chunk.c_str()) != LUA_OK)
            out = std::string("error: ") + lua_tostring(L, -1);
        else if (lua_gettop(L) > top && lua_isboolean(L, top + 1))
            out = lua_toboolean(L, top + 1) ? "true" : "false";
        else if (lua_gettop(L) > top)
            out = lua_isstring(L, top + 1) ? lua_tostring(L, top + 1) : luaL_typename(L, top + 1);
        lua_settop(L, top);
        return out;
    }

    bool lua_fails(const std::string& chunk, const char* text) { return lua(chunk).find(text) != std::string::npos; }

    std::string file(const char* name)
    {
        std::string path = dir + "/" + name;
        if (FILE* f = fopen(path.c_str(), "w")) fclose(f);
        return path;
    }

    int open_device()
    {
        lua("sim.setup{driver = true, node = true}");
        return open(kNode, O_RDWR | O_CLOEXEC);
    }
};

TEST_F(Sim, ModulesLoadByBaseNameAndUnloadInOrder)
{
    EXPECT_EQ(finit(file("qnhook.ko")), 0);
    EXPECT_EQ(finit(file("vava.ko")), 0);
    EXPECT_EQ(finit(dir + "/vava.ko"), EEXIST);
    EXPECT_EQ(lua("local s = sim.status() return tostring(s.hook) .. tostring(s.driver)"), "truetrue");
    int fd = open(file("gone.ko").c_str(), O_RDONLY);
    unlink((dir + "/gone.ko").c_str());
    EXPECT_EQ(syscall(SYS_finit_module, fd, "", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    close(fd);

    EXPECT_EQ(unload("qnhook"), EAGAIN);  // the driver still uses it
    EXPECT_EQ(unload("vava"), 0);
    EXPECT_EQ(unload("qnhook"), 0);
    EXPECT_EQ(unload("other"), ENOENT);
    EXPECT_EQ(syscall(SYS_getpid), getpid()) << "other system calls still reach the kernel";
}

TEST_F(Sim, NodeAndProcDevicesExistOnlyInTheSimulation)
{
    EXPECT_EQ(errno_of(unlink(kNode)), ENOENT);
    EXPECT_EQ(mknod(kNode, S_IFCHR, makedev(240, 0)), 0);
    EXPECT_EQ(lua("return sim.status().rdev"), std::to_string(makedev(240, 0)));
    EXPECT_EQ(unlink(kNode), 0);
    EXPECT_EQ(lua("local s = sim.status() return tostring(s.node) .. s.rdev"), "false0");
    std::string fifo = dir + "/fifo";  // any other path is the real file system's
    EXPECT_EQ(mknod(fifo.c_str(), S_IFIFO | 0600, 0), 0);
    EXPECT_EQ(unlink(fifo.c_str()), 0);
    EXPECT_EQ(access(fifo.c_str(), F_OK), -1);

    std::string text = devices();
    EXPECT_EQ(text.rfind("Character devices:\n", 0), 0u) << text;
    EXPECT_EQ(text.find("vava"), std::string::npos);
    lua("sim.setup{driver = true, major = 251}");
    text = devices();
    EXPECT_NE(text.find("\n251 vava\n"), std::string::npos) << text;
    EXPECT_LT(text.find("vava"), text.find("Block devices:"));
    EXPECT_EQ(unload("vava"), 0);
    EXPECT_EQ(devices().find("vava"), std::string::npos);
    FILE* real = fopen("/proc/self/status", "r");
    EXPECT_NE(real, nullptr) << "other /proc files are the real ones";
    if (real) fclose(real);
}

TEST_F(Sim, OpenVariantsAndClose)
{
    lua("sim.setup{node = true}");
    EXPECT_EQ(errno_of(openat(AT_FDCWD, kNode, O_RDWR)), ENXIO);
    lua("sim.setup{driver = true}");
    int a = open(kNode, O_RDWR | O_CLOEXEC), b = open64(kNode, O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(fcntl(a, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(b, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(lua("return sim.status().handles"), "2");
    EXPECT_EQ(close(a) | close(b), 0);
    EXPECT_EQ(errno_of(close(b)), EBADF);
    EXPECT_EQ(lua("return sim.status().handles"), "0");
}

TEST_F(Sim, RecordsReadWholeInOrderPerHandle)
{
    int h1 = open_device(), h2 = open(kNode, O_RDWR);
    ASSERT_GE(h1, 0);
    lua("sim.push{id = 1, name = '/bin/sh', oldname = ('x'):rep(2000)}");  // the newest handle
    ssize_t n;
    ac_event_record r = read_record(h2, &n);
    EXPECT_EQ(n, (ssize_t)AC_EVENT_RECORD_SIZE);
    EXPECT_EQ(r.id, 1u);
    EXPECT_EQ(r.name_len, 7u);
    EXPECT_EQ(std::string(r.name, 8), std::string("/bin/sh\0", 8));
    EXPECT_EQ(r.oldname_len, 1024u);
    EXPECT_EQ(r.oldname[1023], 'x');
    EXPECT_EQ(r.reserved0[0], 0);

    lua("sim.pushraw('abc')");
    char buf[AC_EVENT_RECORD_SIZE];
    EXPECT_EQ(read(h2, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    lua("for i = 1, 300 do sim.push({id = i}, 1) end");  // more than the socket holds
    for (uint32_t i = 1; i <= 300; i++) {
        ASSERT_EQ(poll_one(h1, 0), POLLIN);
        ASSERT_EQ(read_record(h1).id, i);
    }
    EXPECT_EQ(poll_one(h1, 0), 0);

    close(h2);
    lua("sim.push{id = 4}");  // the newest open handle is now the first
    EXPECT_EQ(read_record(h1).id, 4u);
    EXPECT_TRUE(lua_fails("sim.push({}, 2)", "no open handle 2"));
    EXPECT_TRUE(lua_fails("sim.push({type = 'x'})", "type"));
    close(h1);
    EXPECT_TRUE(lua_fails("sim.push{}", "no open handle"));
}

TEST_F(Sim, PollReportsHangupAloneOnceDrainedAndWakesBlockedPolls)
{
    int fd = open_device(), other = open(kNode, O_RDWR);
    lua("sim.push({id = 1}, 1) sim.hangup(1)");
    EXPECT_EQ(poll_one(fd, 0), POLLIN);  // the queued record comes first
    EXPECT_EQ(read_record(fd).id, 1u);
    EXPECT_EQ(poll_one(fd, 0), POLLHUP);
    EXPECT_EQ(poll_one(fd, -1), POLLHUP);
    EXPECT_TRUE(lua_fails("sim.push({}, 1)", "hung up"));

    // A poll blocked in another thread wakes for a record (hangup(1) left this handle alone), then for hangup().
    const std::pair<const char*, short> wakes[] = {{"sim.push({id = 5}, 2)", POLLIN}, {"sim.hangup()", POLLHUP}};
    for (auto [wake, want] : wakes) {
        short got = 0;
        std::thread waiter([&] { got = poll_one(other, 10000); });
        usleep(50 * 1000);
        lua(wake);
        waiter.join();
        EXPECT_EQ(got, want) << wake;
        if (want == POLLIN) { EXPECT_EQ(read_record(other).id, 5u); }
    }
    close(fd);
    close(other);
}

TEST_F(Sim, ExitChannelAndShutdown)
{
    lua("ch = sim.exitchannel()");
    lua_getglobal(L, "ch");
    int* ch = static_cast<int*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(lua("return sim.exitchannel() == ch"), "true");

    int fd = open_device();
    lua("sim.push{id = 1}");
    pollfd set[2] = {{fd, POLLIN, 0}, {*ch, POLLIN, 0}};
    EXPECT_EQ(poll(set, 2, 0), 1);
    lua("sim.shutdown()");
    EXPECT_EQ(poll(set, 2, 0), 2);
    EXPECT_EQ(set[0].revents & set[1].revents, POLLIN);
    lua("sim.reset()");
    EXPECT_EQ(poll(&set[1], 1, 0), 0) << "reset clears the exit channel";
    EXPECT_EQ(close(fd), 0);  // forgotten by the reset: a plain descriptor now
}

TEST_F(Sim, RepliesCommandsAndTheDefaultResponder)
{
    int fd = open_device();
    ReplyMsg m{0x82, 42, 30, {}, 0};
    EXPECT_EQ(ioctl(fd, kReply, &m), 0);
    EXPECT_EQ(lua("return #sim.replies()"), "1");
    EXPECT_EQ(lua("return #sim.replies()"), "0") << "each call takes what was recorded";
    EXPECT_EQ(errno_of(ioctl(fd, 0x5401, nullptr)), ENOTTY);

    const std::pair<std::string, const char*> answers[] = {
        {"\"setfilefilter\"" + std::string(1, '\0') + "rest", "true"}, {"\"program\"", "true"},
        {"\"beworkers\"", "null"}, {"beworker", "null"}};
    for (auto& a : answers) EXPECT_EQ(command(fd, a.first).resp, a.second) << a.first;
    for (uint32_t id = 1; id <= 2; id++) {
        CommandResult r = command(fd, "\"getfilefilter\"", 64);
        uint32_t w[5] = {1, 1, 0, 0, 0};
        if (r.resp.size() == sizeof w) memcpy(w, r.resp.data(), sizeof w);
        EXPECT_EQ(std::vector<uint32_t>(w, w + 5), std::vector<uint32_t>({0, 0, 32, 32, id})) << "sizes and id";
    }
    CommandResult r = command(fd, "\"getfilefilter\"", 16);  // a short buffer gets what fits
    EXPECT_EQ(r.resp.size(), 16u);
    EXPECT_EQ(r.resp_len, 20u) << "the whole length";
    EXPECT_EQ(lua("local c = sim.commands() return #c .. ' ' .. #c[1] .. ' ' .. #c[5]"), "7 20 15");
    lua("sim.reset()");
    EXPECT_EQ(lua("return sim.lastcommand()"), "nil");
    fd = open_device();
    EXPECT_EQ(filter_id(command(fd, "\"getfilefilter\"").resp), 1u) << "the id starts again";
    close(fd);
}

TEST_F(Sim, LuaResponderErrorsValuesThreadsAndItsState)
{
    int fd = open_device();
    lua("seen = {} sim.respond(function(cmd) seen[#seen + 1] = cmd"
        " if cmd == 'bad' then error('boom') end"
        " if cmd == 'num' then return 42 end"
        " return 'ok:' .. cmd, 0 end)");
    EXPECT_EQ(command(fd, "num").resp, "42");
    testing::internal::CaptureStderr();
    CommandResult r = command(fd, "bad");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("boom"), std::string::npos);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EIO);
    std::thread t([&] { r = command(fd, "threaded"); });  // while this thread waits outside Lua
    t.join();
    EXPECT_EQ(r.resp, "ok:threaded");
    EXPECT_EQ(lua("return #seen .. seen[1]"), "3num");

    lua_State* other = luaL_newstate();
    luaL_openlibs(other);
    std::string chunk = std::string("package.cpath = '") + SIM_BUILD_DIR +
                        "/?.so'; require('vavasim').respond(function() return 'other' end)";
    ASSERT_EQ(luaL_dostring(other, chunk.c_str()), LUA_OK);
    EXPECT_EQ(command(fd, "x").resp, "other");
    lua_close(other);
    EXPECT_EQ(command(fd, "x").resp, "null") << "closing the responder's state restores the default";
    close(fd);
}

TEST_F(Sim, InjectedFailuresWithCountAndSkip)
{
    std::string drv = file("vava.ko");
    lua("sim.fail('finit_module', 12)");
    EXPECT_EQ(finit(drv), ENOMEM);
    EXPECT_EQ(lua("return tostring(sim.status().driver)"), "false") << "no state change";
    EXPECT_EQ(finit(drv), 0);

    lua("sim.fail('mknod', 1, 2, 1)");  // one passes, then two fail
    EXPECT_EQ(mknod(kNode, S_IFCHR, 0), 0);
    EXPECT_EQ(errno_of(mknod(kNode, S_IFCHR, 0)), EPERM) << "not EEXIST: the failure comes first";
    EXPECT_EQ(unlink(kNode), 0);
    EXPECT_EQ(errno_of(mknod(kNode, S_IFCHR, 0)), EPERM);
    EXPECT_EQ(lua("return tostring(sim.status().node)"), "false");
    EXPECT_EQ(mknod(kNode, S_IFCHR, 0), 0);

    lua("sim.fail('open', 13)");
    EXPECT_EQ(errno_of(open(kNode, O_RDWR)), EACCES);
    int fd = open(kNode, O_RDWR);
    ASSERT_GE(fd, 0);
    lua("sim.push{id = 9} sim.fail('read', 4) sim.fail('ioctl', 5)");
    ssize_t n;
    read_record(fd, &n);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(read_record(fd).id, 9u) << "the failed read took nothing";
    EXPECT_EQ(command(fd, "\"beworker\"").err, EIO);
    EXPECT_EQ(lua("return #sim.commands()"), "0") << "a failed command is not recorded";

    lua("sim.fail('close', 9)");
    EXPECT_EQ(errno_of(close(fd)), EBADF);
    EXPECT_EQ(lua("return sim.status().handles"), "1") << "a failed close keeps the handle";
    lua("sim.fail('unlink', 16)");
    EXPECT_EQ(errno_of(unlink(kNode)), EBUSY);
    EXPECT_EQ(lua("return tostring(sim.status().node)"), "true");

    lua("sim.fail('read', 5) sim.fail('read', 5, 0) sim.push{id = 10}");  // count 0 clears
    EXPECT_EQ(read_record(fd).id, 10u);
    EXPECT_EQ(close(fd), 0);
    EXPECT_TRUE(lua_fails("sim.fail('write', 5)", "unknown operation"));
}

TEST_F(Sim, ThreadsWithTheirOwnHandles)
{
    constexpr int kThreads = 4, kRecords = 200;
    lua("sim.setup{driver = true, node = true}");
    std::vector<int> fds;
    for (int i = 0; i < kThreads; i++) fds.push_back(open(kNode, O_RDWR | O_CLOEXEC));
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    std::vector<std::vector<uint32_t>> filter_ids(kThreads);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRecords; i++) {
                if (poll_one(fds[t], 10000) != POLLIN) bad++;
                ac_event_record r = read_record(fds[t]);
                if (r.pid != static_cast<uint32_t>(t + 1) || r.id != static_cast<uint32_t>(i)) bad++;
                if (i % 10 == 0) filter_ids[t].push_back(filter_id(command(fds[t], "\"getfilefilter\"").resp));
            }
            if (poll_one(fds[t], 10000) != POLLHUP) bad++;
        });
    }
    lua("for i = 0, " + std::to_string(kRecords - 1) + " do for h = 1, " + std::to_string(kThreads) +
        " do sim.push({pid = h, id = i}, h) end end sim.hangup()");
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
    std::set<uint32_t> ids;  // every filter id given once, from 1 up
    for (auto& v : filter_ids) ids.insert(v.begin(), v.end());
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kRecords / 10));
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), static_cast<uint32_t>(kThreads * kRecords / 10));
    for (int fd : fds) EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(lua("return sim.status().handles"), "0");
}

}  // namespace

int main(int argc, char** argv)
{
    // Without the preloaded library these calls would reach the real /dev.
    if (!dlsym(RTLD_DEFAULT, "luaopen_vavasim")) {
        fprintf(stderr, "sim_tests: run with LD_PRELOAD=.../libvavasim.so\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
