#include "ac/file_hash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include <openssl/evp.h>

namespace {

// Fetched once: a fetch per call would walk the provider store every time.
struct digest_set {
    EVP_MD* md5;
    EVP_MD* sha1;
    EVP_MD* sha256;
};
digest_set digests;
pthread_once_t digests_once = PTHREAD_ONCE_INIT;

void fetch_digests()
{
    digests.md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    digests.sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    digests.sha256 = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
}

const digest_set& fetched()
{
    pthread_once(&digests_once, fetch_digests);
    return digests;
}

constexpr int open_flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

extern "C" {

void fileopen(ac_file_s* f, const char* path)
{
    f->fd = open(path, open_flags | O_NOATIME);
    // O_NOATIME is refused to anyone but the owner; read it the ordinary way then.
    if (f->fd < 0 && errno == EPERM) f->fd = open(path, open_flags);
    f->err = f->fd < 0 ? errno : 0;
}

size_t fileread(ac_file_s* f, void* buf, size_t size)
{
    ssize_t n = read(f->fd, buf, size);
    if (n > 0) return (size_t)n;
    if (n == 0) {
        fileclose(f);
        return 0;
    }
    f->err = errno;
    switch (errno) {
    case EBADF:
        f->fd = -1;
        break;
    case EINTR:
    case EAGAIN:
    case EFAULT:
        break;
    default:
        fileclose(f);
    }
    return 0;
}

void fileclose(ac_file_s* f)
{
    if (f->fd < 0) return;
    if (close(f->fd) != 0) f->err = errno;
    f->fd = -1;
}

int ac_fips_mode(void) { return EVP_default_properties_is_fips_enabled(nullptr); }

int ac_hash_file(const char* path, unsigned which, ac_file_digests* out, uint64_t* count)
{
    out->done = 0;
    *count = 0;
    ac_file_s f;
    fileopen(&f, path);
    if (f.err) return f.err;
    // A device may never end (/dev/zero): only regular files and FIFOs are
    // read, a regular file no further than its size when opened.
    struct stat st;
    int err = fstat(f.fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (!err && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) err = EINVAL;
    if (err) {
        fileclose(&f);
        return err;
    }
    uint64_t left = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : UINT64_MAX;

    const digest_set& ds = fetched();
    struct {
        unsigned bit;
        const EVP_MD* md;
        unsigned char* dst;
        EVP_MD_CTX* ctx;
    } slots[] = {
        {AC_HASH_MD5, ds.md5, out->md5, nullptr},
        {AC_HASH_SHA1, ds.sha1, out->sha1, nullptr},
        {AC_HASH_SHA256, ds.sha256, out->sha256, nullptr},
    };
    for (auto& s : slots) {
        if (!(which & s.bit) || !s.md) continue;
        s.ctx = EVP_MD_CTX_new();
        if (s.ctx && EVP_DigestInit_ex(s.ctx, s.md, nullptr) != 1) {
            EVP_MD_CTX_free(s.ctx);
            s.ctx = nullptr;
        }
    }

    unsigned char buf[AC_READ_CHUNK];
    int retries = 0;
    while (f.fd >= 0 && left > 0) {
        size_t n = fileread(&f, buf, left < sizeof buf ? (size_t)left : sizeof buf);
        if (n > 0) {
            left -= n;
            *count += n;
            for (auto& s : slots)
                if (s.ctx) EVP_DigestUpdate(s.ctx, buf, n);
        } else if (f.fd >= 0 && ++retries > AC_READ_RETRIES) {
            break;
        }
    }
    fileclose(&f);

    for (auto& s : slots) {
        if (!s.ctx) continue;
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(s.ctx, s.dst, &len) == 1) out->done |= s.bit;
        EVP_MD_CTX_free(s.ctx);
    }
    return f.err;
}

int ac_sha256_text(const char* text, size_t len, unsigned char* out, unsigned* outlen)
{
    const EVP_MD* md = fetched().sha256;
    return md && EVP_Digest(text, len, out, outlen, md, nullptr) == 1;
}

}  // extern "C"
