// DecryptRuleset: random file contents and option tables.
//
// The file is either the input's bytes as they are, or content the harness
// prepares the way the agent's rule sets are made (zlib, then a cipher, with
// the key and iv of the options), then damages or not. Options come from the
// input too: the cipher name (real ones, block, stream, AEAD and wrap modes,
// and junk), key and iv of right or wrong lengths and types, and the
// compression.
//
// Checked beyond the sanitizers: content prepared with a non-AEAD cipher and
// left whole decrypts to exactly the plain text it was made from.
#include <fcntl.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "fuzz_common.h"

namespace {

struct world {
    lua_State* L = nullptr;
    std::string path;
};

world& the_world()
{
    static world* w = [] {
        auto* w = new world;
        w->L = fuzz::new_state();
        char tmpl[] = "/dev/shm/acfuzz-ruleset.XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0) abort();
        close(fd);
        w->path = tmpl;
        static std::string path = tmpl;
        atexit([] { unlink(path.c_str()); });
        return w;
    }();
    return *w;
}

struct cipher_name {
    const char* name;
    bool exact;  // prepared content must come back exactly
};

const cipher_name kCiphers[] = {
    {"aes-256-cbc", true},      {"aes-128-ecb", true},      {"aes-256-ctr", true},
    {"aes-128-cfb", true},      {"aes-192-ofb", true},      {"des-ede3-cbc", true},
    {"camellia-128-cbc", true}, {"chacha20", true},         {"aria-256-cbc", true},
    {"aes-256-gcm", false},     {"aes-128-ccm", false},     {"aes-128-ocb", false},
    {"chacha20-poly1305", false}, {"aes-128-xts", false},   {"id-aes128-wrap", false},
    {"id-aes256-wrap-pad", false}, {"aes-128-cbc-hmac-sha1", false}, {"sm4-cbc", false},
    {"bf-cbc", false},          {"rc4", false},             {"des-cbc", false},
};

bool deflate_text(const std::string& in, std::string& out, int level)
{
    uLongf n = compressBound(in.size());
    out.resize(n);
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(in.data()), in.size(),
                  level) != Z_OK)
        return false;
    out.resize(n);
    return true;
}

bool encrypt_text(const EVP_CIPHER* c, const std::string& key, const std::string& iv, const std::string& in,
                  std::string& out)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    bool ok = EVP_EncryptInit_ex(ctx, c, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                                 reinterpret_cast<const unsigned char*>(iv.data())) == 1;
    out.resize(in.size() + 64);
    int n = 0, m = 0;
    ok = ok && EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &n,
                                 reinterpret_cast<const unsigned char*>(in.data()), (int)in.size()) == 1;
    ok = ok && EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(&out[0]) + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? (size_t)(n + m) : 0);
    return ok;
}

void write_file(const std::string& path, const std::string& bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) abort();
    close(fd);
}

// Pushes a key or iv option: usually a string of the wanted length or near it.
std::string push_secret(lua_State* L, FuzzedDataProvider& in, int want)
{
    std::string s;
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: lua_pushnil(L); return s;
    case 1: lua_pushinteger(L, in.ConsumeIntegral<int32_t>()); return s;
    case 2: lua_pushboolean(L, 1); return s;
    case 3: s = in.ConsumeRandomLengthString(80); break;
    case 4: s = in.ConsumeBytesAsString((size_t)(want + in.ConsumeIntegralInRange(-1, 1) > 0 ? want + in.ConsumeIntegralInRange(-1, 1) : 0)); break;
    default: s = in.ConsumeBytesAsString((size_t)(want > 0 ? want : 0)); break;
    }
    lua_pushlstring(L, s.data(), s.size());
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    world& w = the_world();
    lua_State* L = w.L;
    FuzzedDataProvider in(data, size);
    lua_settop(L, 0);

    // The cipher option.
    const cipher_name* cn = nullptr;
    std::string alg;
    bool alg_string = true;
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: alg_string = false; break;  // absent
    case 1: alg = in.ConsumeBool() ? "none" : in.ConsumeBool() ? "null" : ""; break;
    case 2: alg = in.ConsumeRandomLengthString(24); break;
    default:
        cn = &kCiphers[in.ConsumeIntegralInRange<size_t>(0, sizeof kCiphers / sizeof kCiphers[0] - 1)];
        alg = cn->name;
        break;
    }
    const EVP_CIPHER* cipher = cn ? EVP_get_cipherbyname(cn->name) : nullptr;
    int want_key = cipher ? EVP_CIPHER_key_length(cipher) : 16;
    int want_iv = cipher ? EVP_CIPHER_iv_length(cipher) : 16;

    lua_getglobal(L, "ac");
    lua_getfield(L, -1, "DecryptRuleset");
    lua_pushlstring(L, w.path.data(), w.path.size());
    lua_createtable(L, 0, 4);
    int opts = lua_gettop(L);
    if (alg_string) {
        lua_pushlstring(L, alg.data(), alg.size());
        lua_setfield(L, opts, "encalg");
    }
    // A key or iv is usable as given when it is a string or absent (no bytes).
    std::string key = push_secret(L, in, want_key);
    bool key_known = lua_type(L, -1) == LUA_TSTRING || lua_isnil(L, -1);
    lua_setfield(L, opts, "key");
    std::string iv = push_secret(L, in, want_iv);
    bool iv_known = lua_type(L, -1) == LUA_TSTRING || lua_isnil(L, -1);
    lua_setfield(L, opts, "iv");
    bool compressed_option = false, comp_ok = true;
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: break;
    case 1: lua_pushstring(L, "z"); compressed_option = true; break;
    case 2: lua_pushstring(L, "zlib"); compressed_option = true; break;
    case 3:
        comp_ok = in.ConsumeBool();
        lua_pushstring(L, comp_ok ? "none" : "gzip");
        break;
    default: lua_pushinteger(L, 1); comp_ok = false; break;
    }
    if (lua_gettop(L) > opts) lua_setfield(L, opts, "comp");

    // The file: raw bytes, or prepared content.
    bool prepare = in.ConsumeBool();
    int level = in.ConsumeIntegralInRange(0, 9);
    int damage = in.ConsumeIntegralInRange(0, 3);
    size_t damage_at = in.ConsumeIntegral<uint16_t>();
    std::string plain = in.ConsumeRemainingBytesAsString();
    std::string file = plain;
    bool exact = false;
    if (prepare) {
        bool no_cipher = !alg_string || alg.empty() || alg == "none" || alg == "null";
        bool keys_right = key_known && iv_known && key.size() == (size_t)want_key && iv.size() == (size_t)want_iv;
        bool ok = !compressed_option || deflate_text(plain, file, level);
        if (ok && cipher && keys_right) {
            std::string enc;
            ok = encrypt_text(cipher, key, iv, file, enc);
            file.swap(enc);
        }
        bool damaged = damage == 1 || damage == 2;
        exact = ok && comp_ok && !damaged && (no_cipher || (cn && cn->exact && cipher && keys_right));
        if (ok && damage == 1 && !file.empty()) file.resize(file.size() - 1 - damage_at % file.size());
        if (ok && damage == 2 && !file.empty()) file[damage_at % file.size()] ^= 0x5a;
    }
    write_file(w.path, file);

    int status = fuzz::pcall(L, 2, 1);
    if (exact) {
        if (status != LUA_OK) fprintf(stderr, "fuzz_decrypt: %s refused its own content: %s\n", alg.c_str(),
                                      lua_tostring(L, -1));
        FUZZ_CHECK(status == LUA_OK);
        size_t n;
        const char* out = lua_tolstring(L, -1, &n);
        FUZZ_CHECK(out && n == plain.size() && memcmp(out, plain.data(), n) == 0);
    }
    lua_settop(L, 0);
    static unsigned runs;
    if (++runs % 256 == 0) lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
