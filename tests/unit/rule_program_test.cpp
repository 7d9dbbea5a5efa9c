// The driver's rule program interpreter, and the program acagent uploads
// (policy/driver_rules.lua, built with the engine's compiler) held against
// the engine's own interpreter rules.
#include <gtest/gtest.h>

#include <lua.hpp>

#include <cstring>
#include <string>

#include "base/context.h"
#include "base/paths.h"
#include "cache/process_types.h"
#include "driver/rule_program.h"

extern "C" int luaopen_lacdc(lua_State* L);

namespace {

constexpr uint32_t kOpenPre = 24;

// An image built word by word, laid out as the compiler lays it out.
struct Image {
    std::string b = std::string(drv::kRuleImageSize, '\0');
    uint32_t count = 0;
    Image()
    {
        memcpy(&b[0], "\"program\"", 9);
        put(36, 8);
    }
    void put(size_t at, uint32_t w) { memcpy(&b[at], &w, 4); }
    uint32_t word(uint32_t w)
    {
        put(5376 + 4 * count, w);
        put(32, ++count);
        return count - 1;
    }
    void op(uint32_t opcode, uint32_t a, uint32_t slot, bool invert = false)
    {
        word(opcode | (uint32_t)invert << 7 | a << 8 | slot << 16);
    }
    // A return at index i of a procedure of n words.
    void ret(uint32_t n, uint32_t i, uint32_t action) { word((n - i - 1 + action) << 8); }
    void list(uint32_t slot, const std::string& names)
    {
        memcpy(&b[1072 + 1024 * slot], names.data(), names.size());
        put(40, slot + 1);
    }
    void constant(uint32_t slot, uint32_t v)
    {
        put(48 + 4 * slot, v);
        put(36, slot + 1);
    }
    void link(uint32_t type, uint32_t header) { put(5176 + 4 * type, header); }
    void sign()
    {
        b[16] = (char)0xAC;
        memcpy(&b[9456], &b[16], 16);
    }
    const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(b.data()); }
};

struct Event {
    std::string exe = "/usr/bin/cat", file = "/srv/data";
    bool readable = true;
};

bool text(void* ctx, uint32_t subject, const char** s, size_t* n)
{
    const Event& e = *static_cast<const Event*>(ctx);
    if (!e.readable) return false;
    const std::string& t = subject == drv::kSubjectFilePath ? e.file : e.exe;
    size_t from = subject == drv::kSubjectProgramName ? t.rfind('/') + 1 : 0;
    *s = t.data() + from;
    *n = t.size() - from;
    return true;
}

int run(const unsigned char* image, Event e, uint32_t flags = 0, uint32_t type = kOpenPre)
{
    drv::RuleInput in;
    in.flags = flags;
    in.text = text;
    in.ctx = &e;
    return drv::run_rules(image, type, in);
}

int run_exe(const unsigned char* image, const std::string& exe)
{
    Event e;
    e.exe = exe;
    return run(image, e);
}

// A procedure of eight words: each test guards the return after it.
Image tests_program()
{
    Image im;
    im.list(0, std::string("sh\0cat\0", 7));
    im.list(1, std::string("python\0perl\0", 12));
    im.list(2, std::string("/tmp/\0/run/\0", 12));
    im.constant(8, 3);  // O_WRONLY | O_RDWR
    im.word(1), im.ret(1, 0, drv::kRuleAdvice);  // procedure 0, the default
    uint32_t h = im.word(10);
    im.op(drv::kRuleIs, drv::kSubjectProgramName, 0), im.ret(10, 1, drv::kRuleAllow);
    im.op(drv::kRuleHas, drv::kSubjectProgramName, 1), im.ret(10, 3, drv::kRuleDeny);
    im.op(drv::kRuleBegins, drv::kSubjectFilePath, 2), im.ret(10, 5, drv::kRuleNotify);
    im.op(drv::kRuleFlagsAny, 0, 8, true), im.ret(10, 7, drv::kRuleIgnore);
    im.op(drv::kRuleEnds, drv::kSubjectProgramPath, 2), im.ret(10, 9, drv::kRuleError);
    im.link(kOpenPre, h);
    return im;
}

}  // namespace

TEST(RuleProgram, EachTestGuardsTheWordAfterIt)
{
    Image im = tests_program();
    const struct {
        const char *exe, *file;
        uint32_t flags;
        int action;
    } cases[] = {
        {"/usr/bin/cat", "/srv/a", 1, drv::kRuleAllow},       // an equal name
        {"/usr/bin/cats", "/srv/a", 1, drv::kRuleAdvice},     // not equal: falls off the end
        {"/usr/bin/python3.11", "/srv/a", 1, drv::kRuleDeny},  // contains
        {"/usr/bin/mypython", "/srv/a", 1, drv::kRuleDeny},    // contains, at the end
        {"/usr/bin/perl", "/srv/a", 1, drv::kRuleDeny},        // contains: the whole name
        {"/opt/x", "/tmp/f", 1, drv::kRuleNotify},            // begins
        {"/opt/x", "/run/", 1, drv::kRuleNotify},             // begins: the whole path
        {"/opt/x", "/srv/tmp/f", 0, drv::kRuleIgnore},        // inverted: no write bit
        {"/opt/x/tmp/", "/srv/f", 2, drv::kRuleError},        // the program's path ends with "/tmp/"
        {"/run/", "/srv/f", 2, drv::kRuleError},              // ends: the whole path
    };
    for (const auto& c : cases) {
        Event e;
        e.exe = c.exe, e.file = c.file;
        EXPECT_EQ(run(im.data(), e, c.flags), c.action) << c.exe << " " << c.file;
    }
    Event e;
    EXPECT_EQ(run(im.data(), e, 0, 30), drv::kRuleAdvice) << "an unlinked type runs procedure 0";
}

TEST(RuleProgram, WhatItCannotTellGoesToTheEngine)
{
    Image im = tests_program();
    Event unreadable;
    unreadable.readable = false;
    EXPECT_EQ(run(im.data(), unreadable), drv::kRuleAdvice);
    EXPECT_EQ(run(im.data(), Event(), 0, 50), drv::kRuleAdvice) << "no such type";

    Image bad;
    bad.list(0, std::string("cat\0", 4));
    uint32_t h = bad.word(4);
    bad.op(9, 0, 0);  // no such opcode
    bad.ret(4, 1, drv::kRuleAllow);
    bad.link(kOpenPre, h);
    EXPECT_EQ(run(bad.data(), Event()), drv::kRuleAdvice);
    bad.put(5376 + 4 * (h + 1), drv::kRuleIs | 2u << 16);  // list slot 2 not stored
    EXPECT_EQ(run(bad.data(), Event()), drv::kRuleAdvice);
    bad.put(48 + 4 * 200, 1);
    bad.put(5376 + 4 * (h + 1), drv::kRuleFlagsAny | 200u << 16);  // constant slot not stored
    EXPECT_EQ(run(bad.data(), Event(), 1), drv::kRuleAdvice);
    bad.put(5376 + 4 * (h + 1), 0x80);  // a jump word with the flag set
    EXPECT_EQ(run(bad.data(), Event()), drv::kRuleAdvice);
    bad.put(5376 + 4 * (h + 1), (4 - 0 - 1 + 6) << 8);  // a return of action 6
    EXPECT_EQ(run(bad.data(), Event()), drv::kRuleAdvice);
    bad.put(5376 + 4 * (h + 1), (4 - 0 - 1 + 1) << 8);
    EXPECT_EQ(run(bad.data(), Event()), drv::kRuleAllow) << "the same word, a valid return";
    bad.link(kOpenPre, bad.count);  // past the code in use
    EXPECT_EQ(run(bad.data(), Event()), drv::kRuleAdvice);
}

// The driver reads an opener's flags only for a program that tests them.
TEST(RuleProgram, FlagsAreReadOnlyWhenATestNeedsThem)
{
    Image im = tests_program();
    struct Lazy : Event {
        int reads = 0;
        int flags = 0;  // -1: cannot be read
    } lazy;
    drv::RuleInput in{99, text, static_cast<Event*>(&lazy)};
    in.read_flags = [](void* ctx, uint32_t* flags) {
        Lazy& l = *static_cast<Lazy*>(static_cast<Event*>(ctx));
        l.reads++;
        *flags = (uint32_t)l.flags;
        return l.flags >= 0;
    };
    EXPECT_EQ(drv::run_rules(im.data(), kOpenPre, in), drv::kRuleAllow) << "decided before the flags test";
    EXPECT_EQ(lazy.reads, 0);
    lazy.exe = "/opt/x";
    const int want[] = {drv::kRuleIgnore, drv::kRuleAdvice, drv::kRuleAdvice};
    for (int f : {0, 1, -1}) {
        lazy.flags = f;
        EXPECT_EQ(drv::run_rules(im.data(), kOpenPre, in), want[f < 0 ? 2 : f]) << "flags " << f;
    }
    EXPECT_EQ(lazy.reads, 3);
}

TEST(RuleProgram, OnlyASignedImageIsLoaded)
{
    Image im = tests_program();
    Event e;
    e.exe = "/bin/cat";
    EXPECT_FALSE(drv::load_rules(im.b.data(), im.b.size() - 1));
    EXPECT_EQ(drv::judge_by_rules(kOpenPre, drv::RuleInput{1, text, &e}), drv::kRuleAdvice);
    im.sign();
    im.b[9460] ^= 1;
    EXPECT_FALSE(drv::load_rules(im.b.data(), im.b.size() - 1)) << "the trailer differs from the signature";
    im.b[9460] ^= 1;
    EXPECT_FALSE(drv::load_rules(im.b.data(), 100)) << "short";
    // The command carries the image without its last byte.
    EXPECT_TRUE(drv::load_rules(im.b.data(), im.b.size() - 1));
    EXPECT_EQ(drv::judge_by_rules(kOpenPre, drv::RuleInput{1, text, &e}), drv::kRuleAllow);
    EXPECT_FALSE(drv::load_rules(im.b.data(), 100));
    EXPECT_EQ(drv::judge_by_rules(kOpenPre, drv::RuleInput{1, text, &e}), drv::kRuleAdvice)
        << "a bad upload leaves no program";
    EXPECT_TRUE(drv::load_rules(im.b.data(), im.b.size() - 1));
    drv::unload_rules();
    EXPECT_EQ(drv::judge_by_rules(kOpenPre, drv::RuleInput{1, text, &e}), drv::kRuleAdvice);
}

// Every program the engine takes for a script interpreter reaches the engine;
// ordinary programs are answered by the driver.
TEST(RuleProgram, TheUploadedProgramSendsEveryInterpreterToTheEngine)
{
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "lacdc", luaopen_lacdc, 0);
    lua_pop(L, 1);
    const char* build = "package.path = ... .. '/policy/?.lua;' .. package.path\n"
                        "local c = require('lacdc').compiler\n"
                        "require('driver_rules').build(c)\n"
                        "return c.tostring()";
    ASSERT_EQ(luaL_loadstring(L, build), LUA_OK);
    lua_pushstring(L, AC_SOURCE_DIR);
    ASSERT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
    size_t n = 0;
    const char* bytes = lua_tolstring(L, -1, &n);
    ASSERT_EQ(n, drv::kRuleImageSize);
    std::string image(bytes, n);
    lua_close(L);
    const unsigned char* im = reinterpret_cast<const unsigned char*>(image.data());

    auto interpreter = [](const std::string& path) {
        ac_decision_ctx ctx{};
        strcpy(ctx.processName, path.c_str());
        splitpath(ctx.processPath, ctx.processFileName, ctx.processName);
        return IsInterpreter(GetProcessInterpreterType(&ctx));
    };
    int interpreters = 0;
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++) {
        const ac_interpreter_rule& r = ScriptInterpreterRules[i];
        std::string path = r.kind == AC_RULE_NAME_CONTAINS ? std::string("/opt/my") + r.fragment + "2.1"
                           : r.kind == AC_RULE_DIRECTORY_AND_NAME ? std::string(r.directory) + r.name
                                                                  : std::string("/usr/bin/") + r.name;
        if (!interpreter(path)) continue;
        interpreters++;
        EXPECT_EQ(run_exe(im, path), drv::kRuleAdvice) << path;
    }
    EXPECT_GT(interpreters, 10);
    for (const char* path : {"/usr/bin/cat", "/bin/true", "/usr/bin/gcc", "/usr/lib/systemd/systemd"}) {
        EXPECT_FALSE(interpreter(path)) << path;
        EXPECT_EQ(run_exe(im, path), drv::kRuleIgnore) << path;
    }
}
