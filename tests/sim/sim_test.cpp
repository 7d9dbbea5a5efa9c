// What only the simulated driver holds, through the libc calls the engine makes
// and its Lua control module: the node, its status and the default responder.
// Records, replies, hangup and injected failures: tests/lua/drv_*.lua.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lua.hpp>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

const char* const kNode = "/dev/qnvyac";
lua_State* L;
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

TEST(Sim, NodeStatusAndDefaultResponder)
{
    ASSERT_EQ(lua("sim.setup{driver = true, node = true, major = 251}"), "nil");
    EXPECT_EQ(lua("return sim.status().rdev"), std::to_string(251 << 8));
    fd = open(kNode, O_RDWR | O_CLOEXEC), fd2 = open64(kNode, O_RDWR);
    EXPECT_EQ(lua("return sim.status().handles"), "2");
    EXPECT_EQ(fcntl(fd, F_GETFD) + fcntl(fd2, F_GETFD), 1);
    EXPECT_EQ(command(std::string("\"setfilefilter\"\0x", 17)), "0 4 true");
    EXPECT_EQ(command("\"beworkers\""), "0 4 null");
    EXPECT_EQ(command("\"getfilefilter\""), "0 20 filter 32,32,1");
    EXPECT_EQ(command("\"getfilefilter\""), "0 20 filter 32,32,2");
    EXPECT_EQ(lua("return #sim.commands() .. sim.lastcommand().resp_size"), "464");
    EXPECT_EQ(close(fd2), 0);
    EXPECT_EQ(res(close(fd2)), "EBADF");
    EXPECT_EQ(lua("return sim.status().handles"), "1");
    ASSERT_EQ(lua("sim.reset()"), "nil");
    EXPECT_EQ(lua("return sim.lastcommand()"), "nil");
    EXPECT_EQ(lua("return sim.status().node"), "false");
    EXPECT_EQ(close(fd), 0);
}

}  // namespace

int main(int argc, char** argv)
{
    // Without the preloaded library these calls would reach the real /dev.
    if (!dlsym(RTLD_DEFAULT, "luaopen_vavasim")) return fprintf(stderr, "sim_tests: needs LD_PRELOAD\n"), 1;
    L = luaL_newstate();
    luaL_openlibs(L);
    lua(std::string("package.cpath = '") + SIM_BUILD_DIR + "/?.so'; sim = require 'vavasim'; sim.reset()");
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    lua("sim.reset()");
    lua_close(L);
    return rc;
}
