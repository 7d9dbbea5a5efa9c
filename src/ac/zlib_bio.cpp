#include "ac/zlib_bio.h"

#include <pthread.h>
#include <zlib.h>

#include <openssl/comperr.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

namespace {

enum zlib_state { ZS_STREAMING, ZS_ENDED, ZS_FAILED };

struct zlib_ctx {
    z_stream z;
    zlib_state state;
    unsigned char in[4096];
};

void inflate_failed(zlib_ctx* ctx, const char* why)
{
    ERR_raise_data(ERR_LIB_COMP, COMP_R_ZLIB_INFLATE_ERROR, "zlib error: %s", why);
    ctx->state = ZS_FAILED;
}

int zlib_create(BIO* b)
{
    auto* ctx = static_cast<zlib_ctx*>(OPENSSL_zalloc(sizeof(zlib_ctx)));
    if (!ctx) return 0;
    if (inflateInit(&ctx->z) != Z_OK) {
        OPENSSL_free(ctx);
        return 0;
    }
    BIO_set_data(b, ctx);
    BIO_set_init(b, 1);
    return 1;
}

int zlib_destroy(BIO* b)
{
    auto* ctx = static_cast<zlib_ctx*>(BIO_get_data(b));
    if (ctx) {
        inflateEnd(&ctx->z);
        OPENSSL_free(ctx);
    }
    BIO_set_data(b, nullptr);
    BIO_set_init(b, 0);
    return 1;
}

int zlib_read(BIO* b, char* out, int outl)
{
    auto* ctx = static_cast<zlib_ctx*>(BIO_get_data(b));
    BIO* next = BIO_next(b);
    BIO_clear_retry_flags(b);
    if (!ctx || !next || !out || outl <= 0 || ctx->state != ZS_STREAMING) return 0;

    z_stream& z = ctx->z;
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = (uInt)outl;
    for (;;) {
        if (z.avail_in == 0) {
            int n = BIO_read(next, ctx->in, (int)sizeof ctx->in);
            if (n < 0 || (n == 0 && BIO_should_retry(next))) {
                BIO_copy_next_retry(b);
                return n;
            }
            if (n == 0) {
                inflate_failed(ctx, "unexpected end of stream");
                return 0;
            }
            z.next_in = ctx->in;
            z.avail_in = (uInt)n;
        }
        int rc = inflate(&z, Z_NO_FLUSH);
        int produced = outl - (int)z.avail_out;
        if (rc == Z_STREAM_END) {
            ctx->state = ZS_ENDED;
            return produced;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            inflate_failed(ctx, z.msg ? z.msg : zError(rc));
            return 0;
        }
        if (produced > 0) return produced;
    }
}

long zlib_ctrl(BIO* b, int cmd, long num, void* ptr)
{
    auto* ctx = static_cast<zlib_ctx*>(BIO_get_data(b));
    BIO* next = BIO_next(b);
    switch (cmd) {
    case BIO_CTRL_RESET:
        if (ctx) {
            inflateReset(&ctx->z);
            ctx->z.avail_in = 0;
            ctx->state = ZS_STREAMING;
        }
        break;
    case BIO_CTRL_EOF:
        if (ctx && ctx->state != ZS_STREAMING) return 1;
        break;
    case BIO_CTRL_DUP:
        return 0;
    default:
        break;
    }
    return next ? BIO_ctrl(next, cmd, num, ptr) : 0;
}

long zlib_callback_ctrl(BIO* b, int cmd, BIO_info_cb* fp)
{
    BIO* next = BIO_next(b);
    return next ? BIO_callback_ctrl(next, cmd, fp) : 0;
}

BIO_METHOD* zlib_method;
pthread_once_t zlib_method_once = PTHREAD_ONCE_INIT;

// This OpenSSL is built without compression, so the library's name is
// unknown to its error strings; give it one so the errors read well.
void name_comp_library()
{
    static ERR_STRING_DATA comp_lib[] = {
        {ERR_PACK(ERR_LIB_COMP, 0, 0), "Compression routines"},
        {0, nullptr},
    };
    if (!ERR_lib_error_string(ERR_PACK(ERR_LIB_COMP, 0, 0))) ERR_load_strings(ERR_LIB_COMP, comp_lib);
}

void make_zlib_method()
{
    name_comp_library();
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, "zlib inflate filter");
    if (!m) return;
    if (!BIO_meth_set_create(m, zlib_create) || !BIO_meth_set_destroy(m, zlib_destroy) ||
        !BIO_meth_set_read(m, zlib_read) || !BIO_meth_set_ctrl(m, zlib_ctrl) ||
        !BIO_meth_set_callback_ctrl(m, zlib_callback_ctrl)) {
        BIO_meth_free(m);
        return;
    }
    zlib_method = m;
}

}  // namespace

extern "C" const BIO_METHOD* ac_bio_f_zlib(void)
{
    pthread_once(&zlib_method_once, make_zlib_method);
    return zlib_method;
}
