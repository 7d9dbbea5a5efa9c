// Rule-set decryption beyond what the command line tools can make: GCM
// without its tag, and the zlib filter on every cut of a stream.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "lua/ac_lua.h"
#include "ac/zlib_bio.h"
#include "unit_util.h"

namespace {

std::string content()
{
    std::string s;
    for (int i = 0; i < 3000; i++) s += "line " + std::to_string(i * 7919 % 10007) + " of the rule set\n";
    return s;
}

std::string deflate_all(const std::string& in)
{
    uLongf len = compressBound(in.size());
    std::string out(len, '\0');
    EXPECT_EQ(compress2((Bytef*)&out[0], &len, (const Bytef*)in.data(), in.size(), 9), Z_OK);
    out.resize(len);
    return out;
}

// Reads everything through the zlib filter over `data`, `chunk` bytes at a
// time; false when the queue holds an error afterwards.
bool inflate_bio(const std::string& data, int chunk, std::string& out)
{
    ERR_clear_error();
    BIO* top = BIO_push(BIO_new(ac_bio_f_zlib()), BIO_new_mem_buf(data.data(), (int)data.size()));
    out.clear();
    char buf[4096];
    int n;
    while ((n = BIO_read(top, buf, chunk)) > 0) out.append(buf, n);
    BIO_free_all(top);
    bool ok = ERR_peek_error() == 0;
    ERR_clear_error();
    return ok && n == 0;
}

TEST(ZlibBio, InflatesWithAnyReadSize)
{
    std::string plain = content(), z = deflate_all(plain), out;
    for (int chunk : {1, 7, 4096}) {
        EXPECT_TRUE(inflate_bio(z, chunk, out)) << chunk;
        EXPECT_EQ(out, plain) << chunk;
    }
    // Output far larger than input: many reads per input block.
    std::string zeros(3 << 20, '\0');
    EXPECT_TRUE(inflate_bio(deflate_all(zeros), 4096, out));
    EXPECT_EQ(out, zeros);
}

TEST(ZlibBio, EveryCutOfTheStreamIsAnError)
{
    std::string z = deflate_all("short rule set\n"), out;
    for (size_t cut = 0; cut < z.size(); cut++) EXPECT_FALSE(inflate_bio(z.substr(0, cut), 4096, out)) << cut;
    z[z.size() - 1] ^= 1;  // checksum
    EXPECT_FALSE(inflate_bio(z, 4096, out));
}

std::string gcm_encrypt(const std::string& key, const std::string& iv, const std::string& plain)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(plain.size() + 16, '\0');
    int len = 0, fin = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, (const unsigned char*)key.data(),
                       (const unsigned char*)iv.data());
    EVP_EncryptUpdate(ctx, (unsigned char*)&out[0], &len, (const unsigned char*)plain.data(), (int)plain.size());
    EVP_EncryptFinal_ex(ctx, (unsigned char*)&out[len], &fin);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(len + fin);
    return out;
}

// DecryptRuleset(path, {encalg=, key=, iv=, comp=}): true with the result in
// `out`, or false with the error text in `out`.
bool decrypt(const std::string& path, const std::string& key, const std::string& iv, const char* comp,
             std::string& out)
{
    lua_State* L = luaL_newstate();
    lua_pushcfunction(L, l_DecryptRuleset);
    lua_pushstring(L, path.c_str());
    lua_newtable(L);
    lua_pushstring(L, "aes-256-gcm");
    lua_setfield(L, -2, "encalg");
    lua_pushlstring(L, key.data(), key.size());
    lua_setfield(L, -2, "key");
    lua_pushlstring(L, iv.data(), iv.size());
    lua_setfield(L, -2, "iv");
    lua_pushstring(L, comp);
    lua_setfield(L, -2, "comp");
    int rc = lua_pcall(L, 2, LUA_MULTRET, 0);
    size_t len;
    const char* s = lua_tolstring(L, -1, &len);
    out.assign(s ? s : "", len);
    bool ok = rc == 0 && lua_gettop(L) == 1;
    lua_close(L);
    return ok;
}

// The stream decrypts, but nothing authenticates it: no content may come back.
TEST(Ruleset, GcmWithoutItsTagIsNotAccepted)
{
    ASSERT_FALSE(EVP_default_properties_is_fips_enabled(nullptr)) << "expects a machine outside FIPS mode";
    TempDir dir("ruleset");
    std::string key(32, 'k'), iv(12, 'i'), plain = content(), out;
    EXPECT_FALSE(decrypt(dir.file("rules.gcm", gcm_encrypt(key, iv, plain)), key, iv, "none", out));
    EXPECT_EQ(out.rfind("Failed to read ruleset: ", 0), 0u) << out;
    std::string path = dir.file("rules.z.gcm", gcm_encrypt(key, iv, deflate_all(plain)));
    EXPECT_FALSE(decrypt(path, key, iv, "zlib", out));
    EXPECT_EQ(out.rfind("Failed to read ruleset: ", 0), 0u) << out;
    EXPECT_FALSE(decrypt(path, key, std::string(16, 'i'), "zlib", out));
    EXPECT_EQ(out, "IV length (16) does not match cipher 'aes-256-gcm' (12)");
}

}  // namespace
