// SHA-256 of short texts for the fast path (the object cache's keys), without
// a heap allocation per digest where OpenSSL allows it.
#pragma once
#include <cstddef>

extern "C" {
// Writes the digest of n bytes at data to out (32 bytes). Returns 32, or 0
// when the digest could not be computed.
//
// Whether OpenSSL's default properties ask for FIPS providers is read once per
// process, on the first call. When they do not, the digest is computed by the
// low-level SHA-256 on a context on the stack: no allocation. When they do, it
// goes through EVP with the SHA2-256 implementation fetched once (the FIPS
// provider's), on a context kept per thread; OpenSSL 3.0 still allocates the
// provider's digest state at every EVP_DigestInit_ex, so FIPS mode costs one
// allocation per digest.
int ac_sha256(const void* data, size_t n, unsigned char* out);

// 1 when ac_sha256 goes through EVP (FIPS mode), 0 when it uses the low-level
// functions; settles the choice if no digest was made yet.
int ac_sha256_uses_evp(void);
}
