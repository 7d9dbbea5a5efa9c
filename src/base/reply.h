// Reply and command records, the reply codes and the two device requests that
// carry the records.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr unsigned long AC_IOCTL_REPLY = 0xACDC02;
constexpr unsigned long AC_IOCTL_COMMAND = 0xACDC03;

enum ac_reply_code : uint32_t {
    REPLY_TIMEOUT = 0,
    REPLY_ERROR = 1,
    REPLY_ALLOW = 2,
    REPLY_BLOCK = 3,
    REPLY_IGNORE = 4,
    REPLY_TRACKFILE = 5,
};
constexpr uint32_t REPLY_FLAG_ETA = 0x80;

struct ac_reply_msg {
    uint32_t reply;
    uint32_t id;
    int32_t eta;
    uint32_t reserved;
    int64_t error;
};
static_assert(sizeof(ac_reply_msg) == 24, "reply record size");

struct ac_command_args {
    uint64_t cmd;
    uint64_t resp;
    uint32_t cmd_len;
    uint32_t resp_size;
    uint32_t resp_len;
};
static_assert(offsetof(ac_command_args, resp_len) == 24, "command record layout");
