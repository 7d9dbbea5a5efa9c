// Sieve construction and the rest of the rule-program compiler: psieve and
// ssieve over random string lists and depths, newsieve and suffixlist pooling,
// random sequences of the other compiler calls. Checked: a sieve record equals
// a reference built here from the image format (the depth, then the end and
// presence masks of each position); a pooled sieve's slot holds it; the
// image's counters stay within their slots.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "lua/compiler_lua.h"
#include "fuzz_common.h"

namespace {

std::string reference_sieve(const std::vector<std::string>& strings, uint32_t n, bool backward)
{
    std::vector<uint32_t> ends(n, 0xFFFFFFFFu), present(n, 0);
    for (const std::string& s : strings) {
        size_t m = s.size() < n ? s.size() : n, p = 0;
        uint32_t bit = 0;
        for (; p < m; p++) {
            bit = 1u << ((unsigned char)(backward ? s[s.size() - 1 - p] : s[p]) & 31);
            present[p] |= bit;
            if (!(ends[p] & bit)) break;  // an earlier string ends here
        }
        if (m > 0 && p == m) ends[m - 1] &= ~bit;
    }
    uint32_t d = n;
    while (d > 0 && present[d - 1] == 0) d--;
    std::string out(reinterpret_cast<const char*>(&d), 4);
    out.append(reinterpret_cast<const char*>(ends.data()), 4 * (size_t)d);
    return out.append(reinterpret_cast<const char*>(present.data()), 4 * (size_t)d);
}

// lacdc.compiler[name] on the stack.
void get_call(lua_State* L, const char* name)
{
    lua_getglobal(L, "lacdc");
    lua_getfield(L, -1, "compiler");
    lua_getfield(L, -1, name);
}

void sieve(lua_State* L, FuzzedDataProvider& in)
{
    const bool backward = in.ConsumeBool();
    const int top = lua_gettop(L);
    get_call(L, backward ? "ssieve" : "psieve");
    std::vector<std::string> strings;
    unsigned count = in.ConsumeIntegralInRange(0, 48);
    lua_createtable(L, (int)count, 0);
    for (unsigned i = 1; i <= count; i++) {
        if (in.ConsumeIntegralInRange(0, 15) == 0)
            lua_pushinteger(L, in.ConsumeIntegral<int16_t>());  // numbers are skipped
        else
            strings.push_back(in.ConsumeRandomLengthString(90)),
                lua_pushlstring(L, strings.back().data(), strings.back().size());
        lua_rawseti(L, -2, (int)i);
    }
    const int depth = in.ConsumeIntegralInRange(0, 4);
    if (depth == 0) lua_pushnil(L);
    if (depth == 1) lua_pushinteger(L, in.ConsumeIntegralInRange<lua_Integer>(-3, 70));
    if (depth == 2) lua_pushnumber(L, in.ConsumeFloatingPointInRange<double>(-1e10, 1e10));
    if (depth == 3) lua_pushinteger(L, ((lua_Integer)1 << 32) + in.ConsumeIntegralInRange(0, 70));
    if (depth == 4) lua_pushinteger(L, in.ConsumeIntegral<lua_Integer>());
    // The working depth: the argument's low 32 bits (0 when absent or not a
    // number), as for every integer argument of the compiler; 64 unless within 1..64.
    const uint32_t asked = (uint32_t)lua_tointeger(L, -1);
    const uint32_t n = asked >= 1 && asked <= ACC_SIEVE_DEPTH ? asked : ACC_SIEVE_DEPTH;
    FUZZ_CHECK(lua_pcall(L, 2, 1, 0) == LUA_OK && lua_isstring(L, -1));
    const std::string rec(lua_tostring(L, -1), lua_rawlen(L, -1));
    FUZZ_CHECK(rec == reference_sieve(strings, n, backward));
    if (in.ConsumeBool()) {
        get_call(L, "newsieve");
        lua_pushlstring(L, rec.data(), rec.size());
        if (lua_pcall(L, 1, 1, 0) == LUA_OK) {
            lua_Integer slot = lua_tointeger(L, -1);
            FUZZ_CHECK(slot >= 0 && slot < (lua_Integer)ACC_SIEVE_SLOTS);
            FUZZ_CHECK(memcmp(program.sieves[slot], rec.data(), rec.size()) == 0);
        }
    }
    lua_settop(L, top);
}

void other_call(lua_State* L, FuzzedDataProvider& in)
{
    // {name, number of integer arguments}; -1: one string.
    static const std::pair<const char*, int> calls[] = {
        {"newsieve", -1}, {"suffixlist", -1}, {"clear", 0}, {"constant", 1}, {"procedure", 1}, {"newcode", 5},
        {"newjump", 1}, {"newreturn", 1}, {"link", 2}, {"sign", 0}, {"guid", 0}, {"default", 0}, {"tostring", 0}};
    const auto& call = calls[in.ConsumeIntegralInRange<size_t>(0, sizeof calls / sizeof calls[0] - 1)];
    const int top = lua_gettop(L);
    get_call(L, call.first);
    if (call.second < 0) {
        std::string s = in.ConsumeRandomLengthString(1100);
        lua_pushlstring(L, s.data(), s.size());
    }
    for (int i = 0; i < call.second; i++) {
        const int how = in.ConsumeIntegralInRange(0, 3);
        if (how == 0) lua_pushinteger(L, in.ConsumeIntegralInRange<lua_Integer>(-2, 300));
        if (how == 1) lua_pushinteger(L, in.ConsumeIntegral<uint32_t>());
        if (how == 2) lua_pushinteger(L, in.ConsumeIntegral<lua_Integer>());
        if (how == 3) lua_pushboolean(L, in.ConsumeBool());
    }
    lua_pcall(L, call.second < 0 ? 1 : call.second, 0, 0);
    lua_settop(L, top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static lua_State* L = fuzz::new_state();
    FuzzedDataProvider in(data, size);
    acc_clear(L);  // every input starts from a cleared image and no open procedure
    cc = acc_state{};
    lua_settop(L, 0);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; step++) {
        if (in.ConsumeIntegralInRange(0, 3) != 0)
            sieve(L, in);
        else
            other_call(L, in);
        FUZZ_CHECK(program.codeCount <= ACC_CODE_WORDS && program.constantCount <= ACC_CONSTANT_SLOTS);
        FUZZ_CHECK(program.sieveCount <= ACC_SIEVE_SLOTS && program.suffixListCount <= ACC_SUFFIX_LIST_SLOTS);
    }
    fuzz::end_run(L, 1024);
    return 0;
}
