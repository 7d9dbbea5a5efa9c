// Commands to the driver.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/reply.h"
#include "channel/handle.h"

extern "C" {
// Sends cmd_len bytes and receives at most resp_size; 0 or an errno value.
int lac_command(lac_handle* h, const void* cmd, size_t cmd_len, void* resp, uint32_t resp_size,
                uint32_t* resp_len);
}
