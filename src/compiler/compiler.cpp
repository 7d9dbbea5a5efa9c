#include "compiler/compiler.h"

extern "C" {
acc_program program;
acc_state cc;
uint32_t crctable[256];
int initcrc;
}

namespace {

constexpr uint32_t CRC_POLY = 0xEDB88320u;

void build_crctable()
{
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t v = b;
        for (int round = 0; round < 8; round++) v = (v & 1) ? (v >> 1) ^ CRC_POLY : v >> 1;
        crctable[b] = v;
    }
    initcrc = 1;
}

}  // namespace

extern "C" {

uint32_t acc_crc32(const void* data, size_t len)
{
    if (!initcrc) build_crctable();
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t v = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; i++) v = (v >> 8) ^ crctable[(v ^ p[i]) & 0xFF];
    return ~v;
}

}  // extern "C"
