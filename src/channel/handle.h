// An open device handle (the userdata behind the Lua handle methods).
#pragma once
#include <cstdint>

struct lac_handle {
    int32_t fd;
    int32_t* exit_fd;  // caller-owned shutdown descriptor, read afresh at every wait
    uint32_t closed;
    uint32_t stopped;
};
