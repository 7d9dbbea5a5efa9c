// Rule-set decryption beyond what the command line tools can make: the zlib
// filter on every cut of a stream, and GCM without its tag.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <zlib.h>
#include <openssl/evp.h>

#include "lua/ac_lua.h"
#include "ac/zlib_bio.h"
#include "unit_util.h"

namespace {

std::string deflate_all(const std::string& in)
{
    uLongf len = compressBound(in.size());
    std::string out(len, '\0');
    EXPECT_EQ(compress2((Bytef*)&out[0], &len, (const Bytef*)in.data(), in.size(), 9), Z_OK);
    return out.substr(0, len);
}

// Everything read through the zlib filter over `data`, `chunk` bytes at a
// time; "<error>" when the read fails or the queue holds an error afterwards.
std::string inflate_bio(const std::string& data, int chunk)
{
    ERR_clear_error();
    BIO* top = BIO_push(BIO_new(ac_bio_f_zlib()), BIO_new_mem_buf(data.data(), (int)data.size()));
    std::string out;
    char buf[4096];
    int n;
    while ((n = BIO_read(top, buf, chunk)) > 0) out.append(buf, n);
    bool ok = ERR_peek_error() == 0 && n == 0 && BIO_eof(top) == 1;
    BIO_free_all(top);
    ERR_clear_error();
    return ok ? out : "<error>";
}

TEST(ZlibBio, InflatesWithAnyReadSizeAndRefusesEveryCut)
{
    std::string plain;
    for (int i = 0; i < 3000; i++) plain += "line " + std::to_string(i * 7919 % 10007) + " of the rule set\n";
    for (int chunk : {1, 7, 4096}) EXPECT_TRUE(inflate_bio(deflate_all(plain), chunk) == plain) << chunk;
    std::string zeros(3 << 20, '\0');  // far larger than its input: many reads per input block
    EXPECT_TRUE(inflate_bio(deflate_all(zeros), 4096) == zeros);

    std::string z = deflate_all("short rule set\n");
    for (size_t cut = 0; cut < z.size(); cut++) EXPECT_EQ(inflate_bio(z.substr(0, cut), 4096), "<error>") << cut;
    z.back() ^= 1;  // checksum
    EXPECT_EQ(inflate_bio(z, 4096), "<error>");
}

// The stream decrypts, but nothing authenticates it: no content may come back.
TEST(Ruleset, GcmWithoutItsTagIsNotAccepted)
{
    TempDir dir("ruleset");
    const std::string key(32, 'k'), iv(12, 'i'), plain(5000, 'r');
    std::string enc(plain.size(), '\0');
    int len = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, (const unsigned char*)key.data(),
                       (const unsigned char*)iv.data());
    EVP_EncryptUpdate(ctx, (unsigned char*)&enc[0], &len, (const unsigned char*)plain.data(), (int)plain.size());
    EVP_CIPHER_CTX_free(ctx);
    lua_State* L = luaL_newstate();
    lua_pushcfunction(L, l_DecryptRuleset);
    lua_pushstring(L, dir.file("rules.gcm", enc).c_str());
    lua_newtable(L);
    for (auto [k, v] : {std::pair<const char*, std::string>{"encalg", "aes-256-gcm"}, {"key", key}, {"iv", iv}})
        lua_pushlstring(L, v.data(), v.size()), lua_setfield(L, -2, k);
    EXPECT_TRUE(lua_pcall(L, 2, LUA_MULTRET, 0) != LUA_OK || lua_isnil(L, 1)) << "no content";
    EXPECT_EQ(std::string(lua_tostring(L, -1)).rfind("Failed to read ruleset: ", 0), 0u) << lua_tostring(L, -1);
    lua_close(L);
}

}  // namespace
