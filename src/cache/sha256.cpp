// The one place that uses OpenSSL's low-level SHA-256 functions, deprecated
// in OpenSSL 3 for applications that may run in FIPS mode: they are used only
// when the default properties do not ask for FIPS providers.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "cache/sha256.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <pthread.h>

namespace {

constexpr int DIGEST_LEN = 32;
static_assert(SHA256_DIGEST_LENGTH == DIGEST_LEN, "SHA-256 digest length");

bool fips_mode;
const EVP_MD* fetched_md;  // FIPS mode only: fetched once, kept for the process's life
pthread_once_t once = PTHREAD_ONCE_INIT;

void settle()
{
    fips_mode = EVP_default_properties_is_fips_enabled(nullptr) != 0;
    if (fips_mode) fetched_md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
}

// The EVP context of this thread, made on its first FIPS-mode digest and
// freed when the thread ends.
struct thread_context {
    EVP_MD_CTX* ctx = nullptr;
    ~thread_context() { EVP_MD_CTX_free(ctx); }
};
thread_local thread_context t_context;

int evp_digest(const void* data, size_t n, unsigned char* out)
{
    if (!fetched_md) return 0;
    EVP_MD_CTX* ctx = t_context.ctx;
    if (!ctx) ctx = t_context.ctx = EVP_MD_CTX_new();
    if (!ctx) return 0;
    unsigned int len = 0;
    if (EVP_DigestInit_ex(ctx, fetched_md, nullptr) != 1 || EVP_DigestUpdate(ctx, data, n) != 1 ||
        EVP_DigestFinal_ex(ctx, out, &len) != 1)
        len = 0;
    return (int)len;
}

}  // namespace

extern "C" {

int ac_sha256(const void* data, size_t n, unsigned char* out)
{
    pthread_once(&once, settle);
    if (fips_mode) return evp_digest(data, n, out);
    SHA256_CTX ctx;
    if (SHA256_Init(&ctx) != 1 || SHA256_Update(&ctx, data, n) != 1 || SHA256_Final(out, &ctx) != 1) return 0;
    return DIGEST_LEN;
}

int ac_sha256_uses_evp(void)
{
    pthread_once(&once, settle);
    return fips_mode ? 1 : 0;
}

}  // extern "C"
