// handle:command(text, kind, size) against a driver whose answer is the fuzz
// input: the simulated driver (linked in, see fuzz_get.cpp) answers every
// command with the globals RESPONSE and STATUS, which each input sets: bytes
// with or without a well-formed "!kind\0" header and its two values, and the
// ioctl's result; the caller's text, kind and buffer size come from the input
// too. Checked: with the kind "raw", a command that succeeds and fits its
// buffer returns exactly the driver's bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "fuzz_common.h"

extern "C" int luaopen_vavasim(lua_State* L);

namespace {

std::string response(FuzzedDataProvider& in)
{
    std::string r;
    if (in.ConsumeBool()) {  // a header: '!', six bytes of kind, NUL, two 32-bit values
        static const char* const kinds[] = {"string", "array", "error", "jerror", "json", "raw"};
        std::string kind =
            in.ConsumeBool() ? kinds[in.ConsumeIntegralInRange<size_t>(0, 5)] : in.ConsumeBytesAsString(6);
        kind.resize(6, '\0');
        int32_t v[2];
        for (int32_t& x : v) {
            int how = in.ConsumeIntegralInRange(0, 3);
            x = how == 0 ? in.ConsumeIntegralInRange<int32_t>(-2, 100)
                : how == 1 ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(0, 400);
        }
        r = "!" + kind + std::string(1, '\0') + std::string(reinterpret_cast<const char*>(v), sizeof v);
    }
    return r + in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 9000));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static lua_State* L = fuzz::new_state();
    static int handle = [] {
        luaL_requiref(L, "vavasim", luaopen_vavasim, 1);
        int h = fuzz::open_sim_handle(L);
        luaL_dostring(L, "vavasim.respond(function(cmd) return RESPONSE, STATUS end)");
        return h;
    }();
    FuzzedDataProvider in(data, size);

    std::string text = in.ConsumeRandomLengthString(400), kind;
    static const char* const kinds[] = {"string", "raw", "array", "error", "jerror", "json", "j"};
    int kind_choice = in.ConsumeIntegralInRange(0, 8);  // 0: no kind
    if (kind_choice >= 1 && kind_choice <= 7) kind = kinds[kind_choice - 1];
    if (kind_choice == 8) kind = in.ConsumeRandomLengthString(8);
    lua_Integer size_arg = 0;  // 0: the default buffer
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: break;
    case 1: size_arg = in.ConsumeIntegralInRange<lua_Integer>(0, 64); break;
    case 2: size_arg = in.ConsumeIntegralInRange<lua_Integer>(16, 16384); break;
    case 3: size_arg = in.ConsumeIntegralInRange<lua_Integer>(-4, 4); break;
    default: size_arg = in.ConsumeIntegral<int64_t>(); break;
    }
    // A buffer of gigabytes asked for in so many words (the size is taken
    // modulo 2^32) is the caller's business: sizes that pass stay below 16 MiB.
    if (size_arg >= 16 && (size_arg & 0xFFFFFFFF) > (1 << 24))
        size_arg = (size_arg & ~(lua_Integer)0xFFFFFFFF) | (1 << 24);
    lua_Integer status = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<lua_Integer>(-300, 300);
    std::string resp = response(in);
    lua_pushlstring(L, resp.data(), resp.size());
    lua_setglobal(L, "RESPONSE");
    lua_pushinteger(L, status);
    lua_setglobal(L, "STATUS");

    lua_settop(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, handle);
    lua_getfield(L, 1, "command");
    lua_pushvalue(L, 1);
    lua_pushlstring(L, text.data(), text.size());
    if (kind_choice == 0) lua_pushnil(L); else lua_pushlstring(L, kind.data(), kind.size());
    lua_pushinteger(L, size_arg);
    int rc = lua_pcall(L, 4, LUA_MULTRET, 0);  // the results start at index 2, after the handle
    lua_Integer buffer = size_arg == 0 ? 4096 : (lua_Integer)(uint32_t)size_arg;
    if (rc == LUA_OK && kind_choice == 2 && status == 0 && (lua_Integer)resp.size() <= buffer) {
        size_t n;
        const char* got = lua_tolstring(L, 2, &n);
        FUZZ_CHECK(got && n == resp.size() && memcmp(got, resp.data(), n) == 0);
    }
    drv::take_commands();
    fuzz::end_run(L, 256);
    return 0;
}
