// Kernel modules, the device node, /proc/devices, injected failures and the
// record of what the driver received.
#include "machine.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "fanotify_source.h"
#include "responder.h"
#include "state.h"

namespace drv {

State& state()
{
    static State* s = new State;
    return *s;
}

bool op_from_name(const char* name, Op* op)
{
    static const char* const names[OP_COUNT] = {
        "open", "read", "poll", "ioctl", "close", "finit_module", "delete_module", "mknod", "unlink",
    };
    for (int i = 0; i < OP_COUNT; i++) {
        if (strcmp(name, names[i]) == 0) {
            *op = static_cast<Op>(i);
            return true;
        }
    }
    return false;
}

int take_failure_locked(State& s, Op op)
{
    Failure& f = s.failures[op];
    if (f.count == 0) return 0;
    if (f.skip > 0) {
        f.skip--;
        return 0;
    }
    f.count--;
    return f.err;
}

int take_failure(Op op)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return take_failure_locked(s, op);
}

void set_failure(Op op, int err, unsigned count, unsigned skip)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.failures[op] = err && count ? Failure{err, count, skip} : Failure{};
}

namespace {

// "/x/vava.ko" and "/x/vava.ko.xz" both name the module "vava".
std::string module_name(const char* path)
{
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    return std::string(base, strcspn(base, "."));
}

}  // namespace

int finit_module(int fd)
{
    if (int err = take_failure(OP_FINIT_MODULE)) return err;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[PATH_MAX];
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return EBADF;
    path[n] = '\0';
    struct stat st;
    if (stat(path, &st) != 0) return ENOENT;  // removed since it was opened
    std::string name = module_name(path);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.modules.insert(name).second ? 0 : EEXIST;
}

int delete_module(const char* name)
{
    if (int err = take_failure(OP_DELETE_MODULE)) return err;
    if (!name) return EFAULT;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.modules.find(name);
    if (it == s.modules.end()) return ENOENT;
    // The driver holds the hook module.
    if (*it == kHookModule && s.modules.count(kDriverModule)) return EAGAIN;
    s.modules.erase(it);
    return 0;
}

int make_node(const char* path, dev_t dev)
{
    if (int err = take_failure(OP_MKNOD)) return err;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.node) return EEXIST;
    s.node = true;
    s.rdev = dev;
    return 0;
}

int remove_node(const char* path)
{
    if (int err = take_failure(OP_UNLINK)) return err;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.node) return ENOENT;
    s.node = false;
    s.rdev = 0;
    return 0;
}

std::string devices_text()
{
    unsigned major = 0;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.modules.count(kDriverModule)) major = s.major;
    }
    std::string text =
        "Character devices:\n"
        "  1 mem\n"
        "  4 /dev/vc/0\n"
        "  4 tty\n"
        "  5 /dev/tty\n"
        "  5 /dev/console\n"
        "  5 /dev/ptmx\n"
        "  7 vcs\n"
        " 10 misc\n"
        " 13 input\n"
        "136 pts\n";
    if (major) {
        char line[32];
        snprintf(line, sizeof line, "%3u %s\n", major, kDriverModule);
        text += line;
    }
    text +=
        "\n"
        "Block devices:\n"
        "  7 loop\n"
        "  8 sd\n"
        "259 blkext\n";
    return text;
}

void reset()
{
    fan::stop();  // the initial state watches nothing; held events are allowed
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        drop_handles_locked(s);
        s.modules.clear();
        s.node = false;
        s.rdev = 0;
        s.major = kDefaultMajor;
        s.replies.clear();
        s.keep_log = true;
        s.commands.clear();
        s.last = LastCommand{};
        for (Failure& f : s.failures) f = Failure{};
    }
    reset_default_responder();
}

void setup(const Setup& in)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (in.major >= 0) s.major = static_cast<unsigned>(in.major);
    auto set_module = [&](int want, const char* name) {
        if (want == 1) s.modules.insert(name);
        if (want == 0) s.modules.erase(name);
    };
    set_module(in.hook, kHookModule);
    set_module(in.driver, kDriverModule);
    if (in.node == 1 && !s.node) {
        s.node = true;
        s.rdev = makedev(s.major, 0);
    } else if (in.node == 0) {
        s.node = false;
        s.rdev = 0;
    }
}

Status status()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    Status st{};
    st.hook = s.modules.count(kHookModule) != 0;
    st.driver = s.modules.count(kDriverModule) != 0;
    st.node = s.node;
    st.major = s.major;
    st.rdev = s.rdev;
    for (auto& h : s.handles) st.handles += h->open;
    return st;
}

std::vector<Reply> take_replies()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<Reply> out;
    out.swap(s.replies);
    return out;
}

std::vector<std::string> take_commands()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<std::string> out;
    out.swap(s.commands);
    return out;
}

LastCommand last_command()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.last;
}

}  // namespace drv

namespace drv {

void keep_log(bool on)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.keep_log = on;
    if (!on) {
        s.replies.clear();
        s.replies.shrink_to_fit();
        s.commands.clear();
        s.commands.shrink_to_fit();
    }
}

}  // namespace drv
