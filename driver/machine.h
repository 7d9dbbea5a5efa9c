// The simulated machine behind the interposed calls: kernel modules, the
// device node, the driver's handles and what the driver has received.
// Every function takes the one state lock itself; none is called with it held.
#pragma once
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace drv {

constexpr const char* kNodePath = "/dev/qnvyac";
constexpr const char* kDevicesPath = "/proc/devices";
constexpr const char* kDriverModule = "vava";
constexpr const char* kHookModule = "qnhook";
constexpr unsigned kDefaultMajor = 240;
constexpr unsigned long kIoctlReply = 0xACDC02;
constexpr unsigned long kIoctlCommand = 0xACDC03;
// A queued record must fit one datagram of the socket's send buffer.
constexpr size_t kMaxRecord = 64 * 1024;
// Replies and commands kept for take_replies/take_commands at most.
constexpr size_t kMaxLogged = 1 << 16;

#pragma pack(push, 1)
struct ReplyMsg {
    uint32_t reply;
    uint32_t id;
    int32_t eta;
    uint8_t reserved[4];
    int64_t error;
};
struct CommandArgs {
    uint64_t cmd;
    uint64_t resp;
    uint32_t cmd_len;  // the terminating NUL included
    uint32_t resp_size;
    uint32_t resp_len;
};
#pragma pack(pop)
static_assert(sizeof(ReplyMsg) == 24, "reply record size");
static_assert(sizeof(CommandArgs) == 28, "command argument size");

enum Op { OP_OPEN, OP_READ, OP_POLL, OP_IOCTL, OP_CLOSE, OP_FINIT_MODULE, OP_DELETE_MODULE, OP_MKNOD, OP_UNLINK, OP_COUNT };
bool op_from_name(const char* name, Op* op);

// Injected failures: the errno the next call of op must fail with, or 0.
int take_failure(Op op);
void set_failure(Op op, int err, unsigned count, unsigned skip);

// Kernel modules and the node. Results are 0 or an errno.
int finit_module(int fd);
int delete_module(const char* name);
int make_node(const char* path, dev_t dev);
int remove_node(const char* path);
// The text of /proc/devices as the simulated kernel shows it.
std::string devices_text();

// The device. Every descriptor that device_open handed out and that is still
// open answers is_device_fd; the check is lock-free and safe at any time.
bool is_device_fd(int fd);
int device_open(int flags);  // descriptor, or -1 with errno
ssize_t device_read(int fd, void* buf, size_t n);
int device_poll(struct pollfd* fds, nfds_t n, int timeout);  // the set holds a device descriptor
int device_ioctl(int fd, unsigned long request, void* arg);
int device_close(int fd);
bool poll_set_has_device(const struct pollfd* fds, nfds_t n);

// Control, for the Lua module. Handles are numbered from 1 in order of
// opening since the last reset; 0 picks the newest open handle. Results are
// 0 or an errno (ENOENT: no such open handle, EPIPE: handle hung up,
// EMSGSIZE: record too large).
struct Status {
    bool hook, driver, node;
    unsigned major;
    dev_t rdev;
    unsigned handles;
};
struct Reply {
    uint32_t reply, id;
    int32_t eta;
    int64_t error;
};
struct LastCommand {
    bool valid;
    uint32_t cmd_len, resp_size;
};
struct Setup {
    int hook = -1, driver = -1, node = -1;  // -1: unchanged
    long major = -1;
};

// The control functions test programs call from outside the simulator's
// library (the fuzz targets) are exported; host mode's library keeps them
// local (driver/acdriver.map).
#define DRV_CONTROL __attribute__((visibility("default")))

DRV_CONTROL void reset();
DRV_CONTROL void setup(const Setup& s);
Status status();
DRV_CONTROL int push(unsigned handle, const void* bytes, size_t n);
// Pushes to one of the open handles that are not hung up, chosen by key:
// the same key goes to the same handle while that set stays the same.
int push_spread(uint64_t key, const void* bytes, size_t n);
int hangup(unsigned handle);  // 0: every open handle
DRV_CONTROL std::vector<Reply> take_replies();
DRV_CONTROL std::vector<std::string> take_commands();
LastCommand last_command();
// Whether replies and commands are kept for take_replies/take_commands (reset: yes).
void keep_log(bool on);

}  // namespace drv
