// The compiler's process-wide state seen from C++: procedure state and the
// bound on the code area. Images byte for byte (and the CRC) are checked from Lua.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "lua/compiler_lua.h"

namespace {

struct Compiler : ::testing::Test {
    lua_State* L = luaL_newstate();
    ~Compiler() override { lua_close(L); }

    // Calls fn with integer arguments; returns the error text, or "" on success.
    std::string call(lua_CFunction fn, std::initializer_list<lua_Integer> args = {})
    {
        lua_settop(L, 0);
        lua_pushcfunction(L, fn);
        for (lua_Integer a : args) lua_pushinteger(L, a);
        return lua_pcall(L, (int)args.size(), 1, 0) == LUA_OK ? "" : lua_tostring(L, -1);
    }
    uint32_t last_word() { return program.code[program.codeCount - 1]; }
};

TEST_F(Compiler, ClearAndDefaultKeepTheOpenProcedure)
{
    call(acc_clear);
    ASSERT_EQ(call(acc_procedure, {2}), "");
    EXPECT_EQ(cc.limit, 2);
    EXPECT_EQ(cc.used, 0);
    call(acc_newjump, {1});
    call(acc_clear);
    call(acc_default);
    EXPECT_EQ(cc.limit, 2);
    EXPECT_EQ(cc.used, 1);
    // Still the old procedure's count: one more instruction fits, after the default words.
    EXPECT_EQ(call(acc_newreturn, {1}), "");
    EXPECT_EQ(program.codeCount, 3u);
    EXPECT_EQ(last_word(), (2u - 1 + 1 - 1) << 8);
    EXPECT_EQ(call(acc_newreturn, {1}), "Max instructions for procedure: 2");
}

TEST_F(Compiler, ReturnOffsetsAreNotLimitedToJumpRange)
{
    call(acc_clear);
    call(acc_procedure, {5000});
    call(acc_newreturn, {0});
    EXPECT_EQ(last_word(), 4999u << 8);
    // Extreme declared counts wrap in 32 bits instead of overflowing.
    call(acc_procedure, {INT32_MAX});
    call(acc_newreturn, {5});
    EXPECT_EQ(last_word(), (uint32_t)(INT32_MAX + 4u) << 8);
    call(acc_procedure, {INT32_MIN});
    EXPECT_EQ(call(acc_newreturn, {0}), "Max instructions for procedure: -2147483648");
}

TEST_F(Compiler, CodeAreaIsBoundedAndNothingIsWrittenPastIt)
{
    call(acc_clear);
    call(acc_constant, {0x1234});
    uint32_t links[ACC_EVENT_LINKS];
    memcpy(links, program.eventLinks, sizeof links);

    ASSERT_EQ(call(acc_procedure, {5000}), "");
    for (uint32_t i = 1; i < ACC_CODE_WORDS; i++) ASSERT_EQ(call(acc_newcode, {1, 2, 3, 0, 4}), "");
    EXPECT_EQ(program.codeCount, ACC_CODE_WORDS);
    EXPECT_EQ(call(acc_newjump, {0}), "Max code");
    EXPECT_EQ(call(acc_procedure, {1}), "Max code");
    EXPECT_EQ(cc.limit, 5000);
    EXPECT_EQ(cc.used, (int32_t)ACC_CODE_WORDS - 1);
    EXPECT_EQ(program.codeCount, ACC_CODE_WORDS);
    EXPECT_EQ(program.code[ACC_CODE_WORDS - 1], 0x04030281u);  // a Lua 0 is a true flag
    EXPECT_EQ(memcmp(links, program.eventLinks, sizeof links), 0);
    EXPECT_EQ(program.constants[8], 0x1234u);
    // The last header index is linkable.
    EXPECT_EQ(call(acc_link, {49, ACC_CODE_WORDS - 1}), "");
    EXPECT_EQ(program.eventLinks[49], ACC_CODE_WORDS - 1);
}

}  // namespace
