// File hashing: a careful reader (no final symlink, no access-time update,
// never blocks on a FIFO) feeding SHA-256, SHA-1 and MD5 in one pass.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/limits.h"

#define AC_READ_CHUNK 65536
#define AC_SHA256_TEXT_MAX 64  // EVP_MAX_MD_SIZE

struct ac_file_s {
    int32_t fd;   // -1 when closed
    int32_t err;  // errno of the first failure that was kept, 0 while none
};

enum {
    AC_HASH_MD5 = 1,
    AC_HASH_SHA1 = 2,
    AC_HASH_SHA256 = 4,
};

struct ac_file_digests {
    unsigned done;  // AC_HASH_* bits of the digests computed
    unsigned char md5[16];
    unsigned char sha1[20];
    unsigned char sha256[32];
};

extern "C" {
void fileopen(ac_file_s* f, const char* path);
size_t fileread(ac_file_s* f, void* buf, size_t size);
void fileclose(ac_file_s* f);

// True when OpenSSL's default properties ask for FIPS providers.
int ac_fips_mode(void);

// Reads the whole file, feeding the digests named by `which` (0: read only).
// Returns 0 or the system error number; `*count` is the bytes read either way.
// A digest that cannot be set up is left out of `out->done`.
int ac_hash_file(const char* path, unsigned which, ac_file_digests* out, uint64_t* count);

// SHA-256 of a text through the digest fetched for files; writes at most
// AC_SHA256_TEXT_MAX bytes. 1 on success, 0 when it cannot be computed.
int ac_sha256_text(const char* text, size_t len, unsigned char* out, unsigned* outlen);
}
