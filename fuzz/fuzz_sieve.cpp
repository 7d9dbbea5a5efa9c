// Sieve construction and the rest of the rule-program compiler: psieve and
// ssieve over random string lists and depths, newsieve and suffixlist pooling,
// and random sequences of the other compiler calls.
//
// Checked beyond the sanitizers: a sieve record equals a reference built
// independently here, is 4 + 8·depth bytes with the depth within the working depth, and accepts
// every string it was built
// from (walking the string's character classes, each position's presence
// mask has the class, and some position within the string ends a pattern).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "lua/compiler_lua.h"
#include "fuzz_common.h"

namespace {

lua_State* state()
{
    static lua_State* L = fuzz::new_state();
    return L;
}

uint32_t u32_at(const std::string& s, size_t i)
{
    uint32_t v;
    memcpy(&v, s.data() + 4 * i, sizeof v);
    return v;
}

// The sieve record as the image format defines it, built independently of
// the compiler.
std::string reference_sieve(const std::vector<std::string>& strings, uint32_t n, bool backward)
{
    std::vector<uint32_t> ends(n, 0xFFFFFFFFu), present(n, 0);
    for (const std::string& s : strings) {
        size_t m = s.size() < n ? s.size() : n;
        size_t p = 0;
        uint32_t bit = 0;
        for (; p < m; p++) {
            unsigned char c = (unsigned char)(backward ? s[s.size() - 1 - p] : s[p]);
            bit = 1u << (c & 31);
            present[p] |= bit;
            if (!(ends[p] & bit)) break;
        }
        if (m > 0 && p == m) ends[m - 1] &= ~bit;
    }
    uint32_t d = n;
    while (d > 0 && present[d - 1] == 0) d--;
    std::string out(reinterpret_cast<const char*>(&d), 4);
    out.append(reinterpret_cast<const char*>(ends.data()), 4 * (size_t)d);
    out.append(reinterpret_cast<const char*>(present.data()), 4 * (size_t)d);
    return out;
}

void check_sieve(const std::string& rec, const std::vector<std::string>& strings, uint32_t n, bool backward)
{
    FUZZ_CHECK(rec == reference_sieve(strings, n, backward));
    FUZZ_CHECK(rec.size() >= 4);
    uint32_t d = u32_at(rec, 0);
    FUZZ_CHECK(d <= n && rec.size() == 4 + 8 * (size_t)d);
    for (const std::string& s : strings) {
        size_t m = s.size() < n ? s.size() : n;
        if (m == 0) continue;
        bool accepted = false;
        for (size_t p = 0; p < m && !accepted; p++) {
            FUZZ_CHECK(p < d);
            unsigned char c = (unsigned char)(backward ? s[s.size() - 1 - p] : s[p]);
            uint32_t bit = 1u << (c & 31);
            uint32_t ends = u32_at(rec, 1 + p), present = u32_at(rec, 1 + d + p);
            FUZZ_CHECK(present & bit);
            accepted = !(ends & bit);
        }
        FUZZ_CHECK(accepted);
    }
}

// One psieve or ssieve call with a list from the input.
void sieve(lua_State* L, FuzzedDataProvider& in)
{
    bool backward = in.ConsumeBool();
    lua_getglobal(L, "lacdc");
    lua_getfield(L, -1, "compiler");
    lua_getfield(L, -1, backward ? "ssieve" : "psieve");
    int fn = lua_gettop(L);
    std::vector<std::string> strings;
    unsigned count = in.ConsumeIntegralInRange(0, 48);
    lua_createtable(L, (int)count, 0);
    for (unsigned i = 1; i <= count; i++) {
        if (in.ConsumeIntegralInRange(0, 15) == 0) {
            lua_pushinteger(L, in.ConsumeIntegral<int16_t>());  // numbers are skipped
        } else {
            strings.push_back(in.ConsumeRandomLengthString(90));
            lua_pushlstring(L, strings.back().data(), strings.back().size());
        }
        lua_rawseti(L, -2, (int)i);
    }
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: lua_pushnil(L); break;
    case 1: lua_pushinteger(L, in.ConsumeIntegralInRange<lua_Integer>(-3, 70)); break;
    case 2: lua_pushnumber(L, in.ConsumeFloatingPointInRange<double>(-1e10, 1e10)); break;
    case 3: lua_pushinteger(L, ((lua_Integer)1 << 32) + in.ConsumeIntegralInRange(0, 70)); break;
    default: lua_pushinteger(L, in.ConsumeIntegral<lua_Integer>()); break;
    }
    // The working depth: the argument read as
    // an integer (0 when absent or not a number) and used as its low 32 bits,
    // as every integer argument of the compiler is; between 1 and 64 it is the
    // depth, else the depth is 64.
    uint32_t asked = (uint32_t)lua_tointeger(L, -1);
    uint32_t n = asked >= 1 && asked <= ACC_SIEVE_DEPTH ? asked : ACC_SIEVE_DEPTH;
    if (fuzz::pcall(L, 2, 1) != LUA_OK) fuzz::invariant_failed(lua_tostring(L, -1));
    size_t len;
    const char* bytes = lua_tolstring(L, -1, &len);
    FUZZ_CHECK(bytes != nullptr);
    std::string rec(bytes, len);
    check_sieve(rec, strings, n, backward);
    if (in.ConsumeBool()) {
        // Pool it: the slot it gets holds a record that begins with it.
        lua_getfield(L, fn - 1, "newsieve");
        lua_pushlstring(L, rec.data(), rec.size());
        if (fuzz::pcall(L, 1, 1) == LUA_OK) {
            lua_Integer slot = lua_tointeger(L, -1);
            FUZZ_CHECK(slot >= 0 && slot < (lua_Integer)ACC_SIEVE_SLOTS);
            FUZZ_CHECK(memcmp(program.sieves[slot], rec.data(), rec.size()) == 0);
        }
    }
    lua_settop(L, fn - 3);
}

// One of the other compiler calls, with arguments from the input.
void other_call(lua_State* L, FuzzedDataProvider& in)
{
    static const char* const calls[] = {"newsieve", "suffixlist", "clear",    "constant", "procedure",
                                        "newcode",  "newjump",    "newreturn", "link",    "sign",
                                        "guid",     "default",    "tostring"};
    const char* name = calls[in.ConsumeIntegralInRange<size_t>(0, sizeof calls / sizeof calls[0] - 1)];
    int top = lua_gettop(L);
    lua_getglobal(L, "lacdc");
    lua_getfield(L, -1, "compiler");
    lua_getfield(L, -1, name);
    int nargs = 0;
    if (!strcmp(name, "newsieve") || !strcmp(name, "suffixlist")) {
        std::string s = in.ConsumeRandomLengthString(1100);
        lua_pushlstring(L, s.data(), s.size());
        nargs = 1;
    } else if (strcmp(name, "clear") && strcmp(name, "sign") && strcmp(name, "guid") && strcmp(name, "default") &&
               strcmp(name, "tostring")) {
        nargs = !strcmp(name, "newcode") ? 5 : !strcmp(name, "link") ? 2 : 1;
        for (int i = 0; i < nargs; i++) {
            switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: lua_pushinteger(L, in.ConsumeIntegralInRange<lua_Integer>(-2, 300)); break;
            case 1: lua_pushinteger(L, in.ConsumeIntegral<uint32_t>()); break;
            case 2: lua_pushinteger(L, in.ConsumeIntegral<lua_Integer>()); break;
            default: lua_pushboolean(L, in.ConsumeBool()); break;
            }
        }
    }
    fuzz::pcall(L, nargs, 0);
    lua_settop(L, top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lua_State* L = state();
    FuzzedDataProvider in(data, size);
    // Every input starts from a cleared image and no open procedure.
    acc_clear(L);
    cc = acc_state{};
    lua_settop(L, 0);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; step++) {
        if (in.ConsumeIntegralInRange(0, 3) != 0)
            sieve(L, in);
        else
            other_call(L, in);
        // The image's counters never pass their slots.
        FUZZ_CHECK(program.codeCount <= ACC_CODE_WORDS);
        FUZZ_CHECK(program.constantCount <= ACC_CONSTANT_SLOTS);
        FUZZ_CHECK(program.sieveCount <= ACC_SIEVE_SLOTS);
        FUZZ_CHECK(program.suffixListCount <= ACC_SUFFIX_LIST_SLOTS);
    }
    lua_settop(L, 0);
    static unsigned runs;
    if (++runs % 1024 == 0) lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
