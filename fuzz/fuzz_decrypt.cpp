// ac.DecryptRuleset on random files and option tables. The file is the
// input's bytes, or content prepared the way the agent's rule sets are made
// (zlib, then a cipher with the options' key and iv), damaged or not. The
// options: real cipher names (block, stream, AEAD and wrap modes) and junk,
// keys and ivs of right and wrong lengths and types, the compression.
// Checked: content prepared with a non-AEAD cipher and left whole decrypts to
// exactly the plain text it was made from.
#include <fcntl.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <iterator>
#include <string>

#include "fuzz_common.h"

namespace {

// {name, prepared content must come back exactly}
const std::pair<const char*, bool> kCiphers[] = {
    {"aes-256-cbc", true}, {"aes-128-ecb", true}, {"aes-256-ctr", true}, {"aes-128-cfb", true},
    {"aes-192-ofb", true}, {"des-ede3-cbc", true}, {"camellia-128-cbc", true}, {"chacha20", true},
    {"aria-256-cbc", true}, {"aes-256-gcm", false}, {"aes-128-ccm", false}, {"aes-128-ocb", false},
    {"chacha20-poly1305", false}, {"aes-128-xts", false}, {"id-aes128-wrap", false}, {"id-aes256-wrap-pad", false},
    {"aes-128-cbc-hmac-sha1", false}, {"sm4-cbc", false}, {"bf-cbc", false}, {"rc4", false}, {"des-cbc", false},
};

bool encrypt_text(const EVP_CIPHER* c, const std::string& key, const std::string& iv, std::string& text)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(text.size() + 64, '\0');
    auto* o = reinterpret_cast<unsigned char*>(&out[0]);
    int n = 0, m = 0;
    bool ok = ctx &&
              EVP_EncryptInit_ex(ctx, c, nullptr, (const unsigned char*)key.data(), (const unsigned char*)iv.data()) &&
              EVP_EncryptUpdate(ctx, o, &n, (const unsigned char*)text.data(), (int)text.size()) &&
              EVP_EncryptFinal_ex(ctx, o + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? (size_t)(n + m) : 0);
    text.swap(out);
    return ok;
}

// Pushes a key or iv option, usually a string of the wanted length or near it;
// returns its bytes (none unless a string).
std::string push_secret(lua_State* L, FuzzedDataProvider& in, int want)
{
    std::string s;
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: lua_pushnil(L); return s;
    case 1: lua_pushinteger(L, in.ConsumeIntegral<int32_t>()); return s;
    case 2: lua_pushboolean(L, 1); return s;
    case 3: s = in.ConsumeRandomLengthString(80); break;
    case 4: {
        int len = want + in.ConsumeIntegralInRange(-1, 1);
        s = in.ConsumeBytesAsString(len > 0 ? (size_t)len : 0);
        break;
    }
    default: s = in.ConsumeBytesAsString((size_t)(want > 0 ? want : 0)); break;
    }
    lua_pushlstring(L, s.data(), s.size());
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static lua_State* L = fuzz::new_state();
    static const std::string path = [] {
        char tmpl[] = "/dev/shm/acfuzz-ruleset.XXXXXX";
        close(mkstemp(tmpl));
        atexit([] { unlink(path.c_str()); });
        return std::string(tmpl);
    }();
    FuzzedDataProvider in(data, size);
    lua_settop(L, 0);

    const std::pair<const char*, bool>* cn = nullptr;
    std::string alg;
    const int alg_choice = in.ConsumeIntegralInRange(0, 5);  // 0: absent
    if (alg_choice == 1) alg = in.ConsumeBool() ? "none" : in.ConsumeBool() ? "null" : "";
    if (alg_choice == 2) alg = in.ConsumeRandomLengthString(24);
    if (alg_choice >= 3) cn = &kCiphers[in.ConsumeIntegralInRange<size_t>(0, std::size(kCiphers) - 1)];
    if (cn) alg = cn->first;
    const EVP_CIPHER* cipher = cn ? EVP_get_cipherbyname(cn->first) : nullptr;
    const int want_key = cipher ? EVP_CIPHER_key_length(cipher) : 16;
    const int want_iv = cipher ? EVP_CIPHER_iv_length(cipher) : 16;

    lua_getglobal(L, "ac");
    lua_getfield(L, -1, "DecryptRuleset");
    lua_pushstring(L, path.c_str());
    lua_createtable(L, 0, 4);
    if (alg_choice != 0) lua_pushlstring(L, alg.data(), alg.size()), lua_setfield(L, -2, "encalg");
    // A key or iv is usable as given when it is a string or absent (no bytes).
    const std::string key = push_secret(L, in, want_key);
    const bool key_known = lua_type(L, -1) == LUA_TSTRING || lua_isnil(L, -1);
    lua_setfield(L, -2, "key");
    const std::string iv = push_secret(L, in, want_iv);
    const bool iv_known = lua_type(L, -1) == LUA_TSTRING || lua_isnil(L, -1);
    lua_setfield(L, -2, "iv");
    const int comp = in.ConsumeIntegralInRange(0, 4);  // 0: absent
    const bool compressed = comp == 1 || comp == 2, comp_ok = comp == 3 ? in.ConsumeBool() : comp != 4;
    if (comp == 4)
        lua_pushinteger(L, 1);
    else if (comp)
        lua_pushstring(L, comp == 1 ? "z" : comp == 2 ? "zlib" : comp_ok ? "none" : "gzip");
    if (comp) lua_setfield(L, -2, "comp");

    const bool prepare = in.ConsumeBool();
    const int level = in.ConsumeIntegralInRange(0, 9), damage = in.ConsumeIntegralInRange(0, 3);
    const size_t damage_at = in.ConsumeIntegral<uint16_t>();
    const std::string plain = in.ConsumeRemainingBytesAsString();
    std::string file = plain;
    bool exact = false;
    if (prepare) {
        const bool no_cipher = alg_choice == 0 || alg.empty() || alg == "none" || alg == "null";
        const bool keys_right = key_known && iv_known && key.size() == (size_t)want_key && iv.size() == (size_t)want_iv;
        uLongf n = compressBound(plain.size());
        bool ok = true;
        if (compressed) {
            file.resize(n);
            ok = compress2((Bytef*)&file[0], &n, (const Bytef*)plain.data(), plain.size(), level) == Z_OK;
            file.resize(ok ? n : 0);
        }
        if (ok && cipher && keys_right) ok = encrypt_text(cipher, key, iv, file);
        exact = ok && comp_ok && (damage == 0 || damage == 3) &&
                (no_cipher || (cn && cn->second && cipher && keys_right));
        if (ok && damage == 1 && !file.empty()) file.resize(file.size() - 1 - damage_at % file.size());
        if (ok && damage == 2 && !file.empty()) file[damage_at % file.size()] ^= 0x5a;
    }
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    FUZZ_CHECK(fd >= 0 && write(fd, file.data(), file.size()) == (ssize_t)file.size());
    close(fd);

    const int status = lua_pcall(L, 2, 1, 0);
    if (exact && status != LUA_OK)
        fprintf(stderr, "fuzz_decrypt: %s refused its own content: %s\n", alg.c_str(), lua_tostring(L, -1));
    size_t n = 0;
    const char* out = status == LUA_OK ? lua_tolstring(L, -1, &n) : nullptr;
    FUZZ_CHECK(!exact || (out && n == plain.size() && memcmp(out, plain.data(), n) == 0));
    fuzz::end_run(L, 256);
    return 0;
}
