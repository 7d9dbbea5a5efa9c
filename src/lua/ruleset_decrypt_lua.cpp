#include "lua/args.h"
#include "lua/ac_lua.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "ac/zlib_bio.h"

namespace {

// The chain lives in a userdata so that a Lua error raised while it is open
// (an option's metamethod, a failed buffer allocation) cannot leak it.
struct chain_guard {
    BIO* top;
};

const char* const chain_meta = "ac.ruleset.chain";

int chain_gc(lua_State* L)
{
    auto* g = static_cast<chain_guard*>(luaL_testudata(L, 1, chain_meta));
    if (g && g->top) {
        BIO_free_all(g->top);
        g->top = nullptr;
    }
    return 0;
}

chain_guard* new_guard(lua_State* L)
{
    auto* g = static_cast<chain_guard*>(lua_newuserdata(L, sizeof(chain_guard)));
    g->top = nullptr;
    if (luaL_newmetatable(L, chain_meta)) {
        lua_pushcfunction(L, chain_gc);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    return g;
}

void free_chain(chain_guard* g)
{
    if (g->top) BIO_free_all(g->top);
    g->top = nullptr;
}

// Frees the chain, then raises the formatted text as it is (no position).
[[noreturn]] void fail(lua_State* L, chain_guard* g, const char* fmt, ...)
{
    free_chain(g);
    ERR_clear_error();
    va_list ap;
    va_start(ap, fmt);
    lua_pushvfstring(L, fmt, ap);
    va_end(ap);
    lua_error(L);
    __builtin_unreachable();
}

// Absent, empty, "none" and "null" all mean: this stage is not wanted.
bool wanted(const char* s)
{
    return s && *s && strcmp(s, "none") != 0 && strcmp(s, "null") != 0;
}

}  // namespace

extern "C" int l_DecryptRuleset(lua_State* L)
{
    if (!lua_istable(L, 2)) return luaL_error(L, "Expected table of options");
    const char* path = lac_checkpath(L, 1);
    lua_settop(L, 2);
    chain_guard* g = new_guard(L);

    ERR_clear_error();
    // Not blocking in open (a FIFO), and only a regular file is read.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    g->top = fd >= 0 ? BIO_new_fd(fd, BIO_CLOSE) : nullptr;
    if (!g->top) {
        if (fd >= 0) close(fd);
        ERR_clear_error();
        return luaL_error(L, "Failed to open %s", path);
    }

    BIO* cipher_bio = nullptr;
    lua_getfield(L, 2, "encalg");
    const char* alg = lua_tostring(L, -1);
    if (wanted(alg)) {
        size_t klen = 0, ivlen = 0;
        lua_getfield(L, 2, "key");
        const char* key = lua_tolstring(L, -1, &klen);
        lua_getfield(L, 2, "iv");
        const char* iv = lua_tolstring(L, -1, &ivlen);
        if (!key) klen = 0;
        if (!iv) ivlen = 0;

        const EVP_CIPHER* cipher = EVP_get_cipherbyname(alg);
        if (!cipher) fail(L, g, "Unknown encryption cipher '%s'", alg);
        int want_key = EVP_CIPHER_key_length(cipher);
        if (klen != (size_t)want_key)
            fail(L, g, "Key length (%d) does not match cipher '%s' (%d)", (int)klen, alg, want_key);
        int want_iv = EVP_CIPHER_iv_length(cipher);
        if (ivlen != (size_t)want_iv)
            fail(L, g, "IV length (%d) does not match cipher '%s' (%d)", (int)ivlen, alg, want_iv);

        cipher_bio = BIO_new(BIO_f_cipher());
        if (!cipher_bio) fail(L, g, "Failed to create cipher");
        if (BIO_set_cipher(cipher_bio, cipher, reinterpret_cast<const unsigned char*>(key),
                           reinterpret_cast<const unsigned char*>(iv), 0) != 1) {
            BIO_free(cipher_bio);
            fail(L, g, "Failed to create cipher");
        }
        g->top = BIO_push(cipher_bio, g->top);

        if (EVP_default_properties_is_fips_enabled(nullptr) && strstr(alg, "gcm")) {
            EVP_CIPHER_CTX* cctx = nullptr;
            unsigned char tag[16] = {};
            BIO_get_cipher_ctx(cipher_bio, &cctx);
            if (cctx) EVP_CIPHER_CTX_ctrl(cctx, EVP_CTRL_GCM_SET_TAG, (int)sizeof tag, tag);
        }
    }

    lua_getfield(L, 2, "comp");
    const char* comp = lua_tostring(L, -1);
    if (wanted(comp)) {
        if (strcmp(comp, "z") != 0 && strcmp(comp, "zlib") != 0)
            fail(L, g, "Unsupported compression: %s", comp);
        const BIO_METHOD* zm = ac_bio_f_zlib();
        BIO* zbio = zm ? BIO_new(zm) : nullptr;
        if (!zbio) fail(L, g, "Failed to create zlib");
        g->top = BIO_push(zbio, g->top);
    }

    luaL_Buffer buf;
    luaL_buffinit(L, &buf);
    int failures = 0;
    size_t total = 0;
    for (;;) {
        char* p = luaL_prepbuffsize(&buf, 4096);
        int n = BIO_read(g->top, p, 4096);
        if (n > 0) {
            total += (size_t)n;
            if (total > AC_RULESET_MAX) fail(L, g, "Failed to read ruleset: %s (%d)", strerror(EFBIG), EFBIG);
            luaL_addsize(&buf, (size_t)n);
            failures = 0;
        } else if (n == 0 || ++failures > AC_RULESET_READ_RETRIES) {
            break;
        }
    }

    // Make sure every way of ending early shows up as an error: a read that
    // kept failing, or a final block that did not decrypt, may leave none.
    if (!ERR_peek_error()) {
        if (failures > AC_RULESET_READ_RETRIES)
            ERR_raise(ERR_LIB_BIO, ERR_R_OPERATION_FAIL);
        else if (cipher_bio && BIO_get_cipher_status(cipher_bio) == 0)
            ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
    }
    unsigned long code = ERR_peek_error();
    if (code) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        fail(L, g, "Failed to read ruleset: %s (%d)", text, (int)code);
    }
    luaL_pushresult(&buf);
    free_chain(g);
    return 1;
}
