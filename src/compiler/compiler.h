// The rule program compiler's state: the one process-wide program image, the
// procedure being emitted and the image checksum. No locks: one thread builds
// at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "compiler/program_image.h"

// The procedure being emitted: its declared instruction count and how many
// instructions it has received.
struct acc_state {
    int32_t limit;
    int32_t used;
};

extern "C" {

extern acc_program program;
extern acc_state cc;
extern uint32_t crctable[256];
extern int initcrc;

// CRC-32 (reflected 0xEDB88320, all-ones start, final complement).
uint32_t acc_crc32(const void* data, size_t len);
}
