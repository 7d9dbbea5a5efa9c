// A read-only zlib filter BIO: inflates the zlib stream read from the next BIO.
// OpenSSL as shipped here has no zlib filter of its own.
#pragma once
#include <openssl/bio.h>

// Stream problems (corrupt data, or the end of input before the end of the
// stream) go onto the OpenSSL error queue as zlib inflate errors and end the
// output: reads return 0 from then on.
extern "C" const BIO_METHOD* ac_bio_f_zlib(void);
