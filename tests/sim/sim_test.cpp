// The simulated driver's own contract, through the libc calls the engine makes
// (the library preloaded) and its Lua control module: one scenario, a table of
// steps, each a Lua chunk run first, then a call and the outcome it must give.
// What the engine makes of the driver is shown by tests/lua/drv_*.lua.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lua.hpp>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/event_record.h"

namespace {

const char* const kNode = "/dev/qnvyac";
lua_State* L;
std::string dir;
int fd = -1, fd2 = -1;

// A chunk's first result as text ("nil" when none), or "error: ...".
std::string lua(const std::string& chunk)
{
    lua_settop(L, 0);
    if (luaL_dostring(L, chunk.c_str()) != LUA_OK) return std::string("error: ") + lua_tostring(L, -1);
    if (lua_gettop(L) == 0) return "nil";
    return lua_isboolean(L, 1) ? (lua_toboolean(L, 1) ? "true" : "false") : luaL_tolstring(L, 1, nullptr);
}

// "0" on success, else the errno's name.
std::string res(long rc) { return rc >= 0 ? std::to_string(rc) : strerrorname_np(errno); }

std::string poll_fd(int h)
{
    pollfd p{h, POLLIN, 0};
    return poll(&p, 1, 0) < 0 ? res(-1) : std::to_string(p.revents);
}

// "n id name_len oldname_len" of the record read.
std::string read_rec(int h)
{
    ac_event_record r{};
    ssize_t n = read(h, &r, sizeof r);
    if (n != (ssize_t)sizeof r) return n < 0 ? res(-1) : std::to_string(n) + " " + std::string((char*)&r, (size_t)n);
    return std::to_string(n) + " " + std::to_string(r.id) + " " + std::to_string(r.name_len) + " " +
           std::to_string(r.oldname_len);
}

// "rc resp_len response" of a command ioctl with a buffer of `size` bytes.
std::string command(const std::string& text, uint32_t size = 64)
{
    char buf[64] = {};
    struct __attribute__((packed)) { uint64_t cmd, resp; uint32_t cmd_len, resp_size, resp_len; } a{
        (uint64_t)text.c_str(), (uint64_t)buf, (uint32_t)text.size() + 1, size, 0};
    long rc = ioctl(fd, 0xACDC03, &a);
    if (rc < 0) return res(rc);
    std::string out(buf, a.resp_len < size ? a.resp_len : size);
    uint32_t w[5];
    if (out.size() == sizeof w) memcpy(w, buf, sizeof w), out = "filter " + std::to_string(w[2]) + "," +
                                                               std::to_string(w[3]) + "," + std::to_string(w[4]);
    return std::to_string(rc) + " " + std::to_string(a.resp_len) + " " + out;
}

// The results of the calls, in order (a braced list is evaluated left to right).
using V = std::vector<std::string>;
#define DO(...) []() -> V { return {__VA_ARGS__}; }

struct Step {
    const char* lua;
    V (*call)();
    std::string want;
};

TEST(Sim, Contract)
{
    // Loading the modules and making the node: drv_device.lua, through the engine.
    const Step steps[] = {
        // Handles, whole records in order per handle, poll.
        {"sim.setup{driver = true, node = true, major = 251}", DO(lua("return sim.status().rdev")),
         std::to_string(251 << 8)},
        {"", DO((fd = open(kNode, O_RDWR | O_CLOEXEC), fd2 = open64(kNode, O_RDWR), "opened"),
                lua("return sim.status().handles"), std::to_string(fcntl(fd, F_GETFD) + fcntl(fd2, F_GETFD))),
         "opened21"},
        {"sim.push{id = 1, name = '/bin/sh', oldname = ('x'):rep(2000)}", DO(poll_fd(fd), read_rec(fd2)),
         "02136 1 7 1024"},
        {"sim.push({id = 2}, 1) sim.pushraw('abc', 1)", DO(poll_fd(fd), read_rec(fd), "|", read_rec(fd), poll_fd(fd)),
         "12136 2 0 0|3 abc0"},
        {"", DO(res(close(fd2)), res(close(fd2)), lua("return sim.status().handles")), "0EBADF1"},
        // Replies and commands with the default responder.
        {"", []() -> V {
             struct { uint32_t reply, id; int32_t eta; uint8_t pad[4]; int64_t error; } m{0x82, 42, 30, {}, -5};
             return {res(ioctl(fd, 0xACDC02, &m)),
                     lua("local r = sim.replies()[1] return r.reply..r.id..r.eta..r.error")};
         }, "01304230-5"},
        {"", DO(command(std::string("\"setfilefilter\"\0x", 17)), "|", command("\"beworkers\"")), "0 4 true|0 4 null"},
        {"", DO(command("\"getfilefilter\""), "|", command("\"getfilefilter\""), "|",
                lua("return #sim.commands() .. sim.lastcommand().resp_size")),
         "0 20 filter 32,32,1|0 20 filter 32,32,2|464"},
        // A Lua responder: its text and status; an error fails the ioctl.
        {"sim.respond(function(c) if c == 'bad' then error('boom') end "
         "return 'ok:' .. c, c == 'neg' and -13 or c == 'pos' and 7 or 0 end)",
         []() -> V {
             testing::internal::CaptureStderr();
             std::string bad = command("bad");
             testing::internal::GetCapturedStderr();
             return {command("x"), "|", command("neg"), "|", command("pos"), "|", bad};
         }, "0 4 ok:x|EACCES|7 6 ok:pos|EIO"},
        {"sim.respond(nil)", DO(command("x")), "0 4 null"},
        // Injected failures: count and skip; a failed call changes and records nothing.
        {"sim.commands() sim.fail('ioctl', 5) sim.fail('read', 4) sim.push({id = 9}, 1)",
         DO(command("\"beworker\""), read_rec(fd), "|", read_rec(fd), lua("return #sim.commands()")),
         "EIOEINTR|2136 9 0 00"},
        {"sim.fail('mknod', 1, 2, 1)",
         DO(res(unlink(kNode)), res(mknod(kNode, S_IFCHR, 0)), res(mknod(kNode, S_IFCHR, 0)), res(unlink(kNode)),
            res(mknod(kNode, S_IFCHR, 0)), res(mknod(kNode, S_IFCHR, 0))),
         "00EPERM0EPERM0"},
        {"sim.fail('close', 9) sim.fail('open', 13)",
         DO(res(close(fd)), lua("return sim.status().handles"), res(open(kNode, O_RDWR))), "EBADF1EACCES"},
        {"sim.fail('read', 5) sim.fail('read', 5, 0) sim.push({id = 10}, 1)", DO(read_rec(fd)), "2136 10 0 0"},
        // Hangup: queued records first, then POLLHUP alone; nothing more is queued.
        {"sim.push({id = 3}, 1) sim.hangup(1)", DO(poll_fd(fd), read_rec(fd), "|", poll_fd(fd)), "12136 3 0 0|16"},
        {"", DO(lua("return select(2, pcall(sim.push, {}, 1)):match('hung up')")), "hung up"},
        {"sim.reset()", DO(lua("return sim.lastcommand()"), lua("return sim.status().node"), res(close(fd))),
         "nilfalse0"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.lua[0] ? s.lua : s.want.c_str());
        ASSERT_EQ(lua(s.lua), "nil");
        std::string got;
        for (const std::string& part : s.call()) got += part;
        EXPECT_EQ(got, s.want);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // Without the preloaded library these calls would reach the real /dev.
    if (!dlsym(RTLD_DEFAULT, "luaopen_vavasim")) return fprintf(stderr, "sim_tests: needs LD_PRELOAD\n"), 1;
    L = luaL_newstate();
    luaL_openlibs(L);
    lua(std::string("package.cpath = '") + SIM_BUILD_DIR + "/?.so'; sim = require 'vavasim'; sim.reset()");
    char tmpl[] = "/srv/simtest.XXXXXX";
    mkdir("/srv", 0755);
    dir = mkdtemp(tmpl) ? tmpl : "/nonexistent";
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    lua("sim.reset()");
    lua_close(L);
    return system(("rm -rf '" + dir + "'").c_str()) == 0 ? rc : 1;
}
