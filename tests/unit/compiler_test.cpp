// The bound on the compiler's code area, with its process-wide state seen
// from C++. Images byte for byte, every other limit: test_compiler.lua.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "lua/compiler_lua.h"

namespace {

lua_State* L = luaL_newstate();

// Calls fn with integer arguments; returns the error text, or "" on success.
std::string call(lua_CFunction fn, std::initializer_list<lua_Integer> args = {})
{
    lua_settop(L, 0);
    lua_pushcfunction(L, fn);
    for (lua_Integer a : args) lua_pushinteger(L, a);
    return lua_pcall(L, (int)args.size(), 1, 0) == LUA_OK ? "" : lua_tostring(L, -1);
}

TEST(Compiler, CodeAreaIsBoundedAndNothingIsWrittenPastIt)
{
    call(acc_clear);
    call(acc_constant, {0x1234});
    uint32_t links[ACC_EVENT_LINKS];
    memcpy(links, program.eventLinks, sizeof links);
    ASSERT_EQ(call(acc_procedure, {5000}), "");
    for (uint32_t i = 1; i < ACC_CODE_WORDS; i++) ASSERT_EQ(call(acc_newcode, {1, 2, 3, 0, 4}), "");
    EXPECT_EQ(call(acc_newjump, {0}), "Max code");
    EXPECT_EQ(call(acc_procedure, {1}), "Max code");
    EXPECT_EQ(cc.limit, 5000);
    EXPECT_EQ(cc.used, (int32_t)ACC_CODE_WORDS - 1);
    EXPECT_EQ(program.codeCount, ACC_CODE_WORDS);
    EXPECT_EQ(program.code[ACC_CODE_WORDS - 1], 0x04030281u);  // a Lua 0 is a true flag
    EXPECT_EQ(memcmp(links, program.eventLinks, sizeof links), 0);
    EXPECT_EQ(program.constants[8], 0x1234u);
    EXPECT_EQ(call(acc_link, {49, ACC_CODE_WORDS - 1}), "") << "the last header index is linkable";
    EXPECT_EQ(program.eventLinks[49], ACC_CODE_WORDS - 1);
}

}  // namespace
