// ac.DecryptRuleset on random files and option tables: the input's bytes, or
// content prepared the way rule sets are made (zlib, then a cipher with the
// options' key and iv), damaged or not; real cipher names and junk, keys and
// ivs of right and wrong lengths and types, the compression. Checked: content
// prepared with a non-AEAD cipher and left whole decrypts to exactly its plain text.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <iterator>
#include <string>

#include "fuzz_common.h"

namespace {

// {name, prepared content must come back exactly}: block, stream, AEAD, wrap and legacy ciphers.
const std::pair<const char*, bool> kCiphers[] = {
    {"aes-256-cbc", true}, {"aes-128-ecb", true}, {"aes-256-ctr", true}, {"aes-128-cfb", true},
    {"aes-192-ofb", true}, {"des-ede3-cbc", true}, {"camellia-128-cbc", true}, {"chacha20", true},
    {"aria-256-cbc", true}, {"aes-256-gcm", false}, {"aes-128-ccm", false}, {"aes-128-ocb", false},
    {"chacha20-poly1305", false}, {"aes-128-xts", false}, {"id-aes128-wrap", false}, {"id-aes256-wrap-pad", false},
    {"aes-128-cbc-hmac-sha1", false}, {"sm4-cbc", false}, {"bf-cbc", false}, {"rc4", false}, {"des-cbc", false}};

// Pushes a key or iv option, usually a string of the wanted length or near it; sets *bytes when usable as given.
void push_secret(lua_State* L, FuzzedDataProvider& in, int want, std::string* bytes)
{
    const int how = in.ConsumeIntegralInRange(0, 7), near = how == 4 ? want + in.ConsumeIntegralInRange(-1, 1) : want;
    if (how == 1 || how == 2) bytes->assign(1, '?');  // never the right length (no cipher wants one byte)
    if (how == 0) {
        lua_pushnil(L);  // usable: no bytes
    } else if (how == 1) {
        lua_pushinteger(L, in.ConsumeIntegral<int32_t>());
    } else if (how == 2) {
        lua_pushboolean(L, 1);
    } else {
        *bytes = how == 3 ? in.ConsumeRandomLengthString(80) : in.ConsumeBytesAsString(near > 0 ? (size_t)near : 0);
        lua_pushlstring(L, bytes->data(), bytes->size());
    }
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
    const std::pair<const char*, bool>* cn = nullptr;
    std::string alg, key, iv;
    const int alg_choice = in.ConsumeIntegralInRange(0, 5);  // 0: absent
    if (alg_choice == 1) alg = in.ConsumeBool() ? "none" : in.ConsumeBool() ? "null" : "";
    if (alg_choice == 2) alg = in.ConsumeRandomLengthString(24);
    if (alg_choice >= 3) alg = (cn = &kCiphers[in.ConsumeIntegralInRange<size_t>(0, std::size(kCiphers) - 1)])->first;
    const EVP_CIPHER* cipher = cn ? EVP_get_cipherbyname(cn->first) : nullptr;
    const int want_key = cipher ? EVP_CIPHER_key_length(cipher) : 16;
    const int want_iv = cipher ? EVP_CIPHER_iv_length(cipher) : 16;

    lua_settop(L, 0);
    lua_getglobal(L, "ac");
    lua_getfield(L, -1, "DecryptRuleset");
    lua_pushstring(L, path.c_str());
    lua_createtable(L, 0, 4);
    if (alg_choice != 0) lua_pushlstring(L, alg.data(), alg.size()), lua_setfield(L, -2, "encalg");
    push_secret(L, in, want_key, &key);
    lua_setfield(L, -2, "key");
    push_secret(L, in, want_iv, &iv);
    lua_setfield(L, -2, "iv");
    const int comp = in.ConsumeIntegralInRange(0, 4);  // 0: absent, 4: not a string
    const bool comp_ok = comp == 3 ? in.ConsumeBool() : comp != 4;
    const char* const comps[] = {nullptr, "z", "zlib", comp_ok ? "none" : "gzip"};
    if (comp == 4) lua_pushinteger(L, 1), lua_setfield(L, -2, "comp");
    if (comp > 0 && comp < 4) lua_pushstring(L, comps[comp]), lua_setfield(L, -2, "comp");

    const bool prepare = in.ConsumeBool();
    const int level = in.ConsumeIntegralInRange(0, 9), damage = in.ConsumeIntegralInRange(0, 3);
    const size_t damage_at = in.ConsumeIntegral<uint16_t>();
    const std::string plain = in.ConsumeRemainingBytesAsString();
    std::string file = plain;
    bool exact = false;
    if (prepare) {
        const bool keys_right = key.size() == (size_t)want_key && iv.size() == (size_t)want_iv;
        uLongf n = compressBound(plain.size());
        bool ok = true;
        if (comp == 1 || comp == 2) {
            file.resize(n);
            ok = compress2((Bytef*)&file[0], &n, (const Bytef*)plain.data(), plain.size(), level) == Z_OK;
            file.resize(ok ? n : 0);
        }
        if (ok && cipher && keys_right) {
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            std::string out(file.size() + 64, '\0');
            auto* o = reinterpret_cast<unsigned char*>(&out[0]);
            int a = 0, b = 0;
            const auto* k = reinterpret_cast<const unsigned char*>(key.data());
            ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, k, reinterpret_cast<const unsigned char*>(iv.data())) &&
                 EVP_EncryptUpdate(ctx, o, &a, (const unsigned char*)file.data(), (int)file.size()) &&
                 EVP_EncryptFinal_ex(ctx, o + a, &b);
            EVP_CIPHER_CTX_free(ctx);
            file = ok ? out.substr(0, (size_t)(a + b)) : "";
        }
        const bool no_cipher = alg_choice == 0 || alg.empty() || alg == "none" || alg == "null";
        exact = ok && comp_ok && damage % 3 == 0 && (no_cipher || (cn && cn->second && cipher && keys_right));
        if (ok && damage == 1 && !file.empty()) file.resize(file.size() - 1 - damage_at % file.size());
        if (ok && damage == 2 && !file.empty()) file[damage_at % file.size()] ^= 0x5a;
    }
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    FUZZ_CHECK(fd >= 0 && write(fd, file.data(), file.size()) == (ssize_t)file.size());
    close(fd);

    size_t n = 0;
    const char* out = lua_pcall(L, 2, 1, 0) == LUA_OK ? lua_tolstring(L, -1, &n) : nullptr;
    if (exact && !out)
        fprintf(stderr, "fuzz_decrypt: %s refused its own content: %s\n", alg.c_str(), lua_tostring(L, -1));
    FUZZ_CHECK(!exact || (out && n == plain.size() && memcmp(out, plain.data(), n) == 0));
    fuzz::end_run(L, 256);
    return 0;
}
