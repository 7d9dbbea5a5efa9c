#include "cache/proc_info.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/event_record.h"

namespace {

constexpr size_t CMDLINE_MAX = 1024;

constexpr size_t TARGET_MAX = 4096;

// The link names of the fast path, written as snprintf would write them
// ("/proc/%d/root", "/proc/%lu/exe", ...) without its cost: each event
// formats two or three of them. Every text fits LINK_NAME.
char* put_text(char* at, const char* text)
{
    while (*text) *at++ = *text++;
    return at;
}

char* put_unsigned(char* at, unsigned long long v)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *at++ = digits[--n];
    return at;
}

char* put_signed(char* at, long long v)
{
    if (v >= 0) return put_unsigned(at, (unsigned long long)v);
    *at++ = '-';
    return put_unsigned(at, 0ull - (unsigned long long)v);
}

// "/proc/<pid><tail>[<fd>]", pid and fd as %d.
void proc_link(char* link, int pid, const char* tail, const int* fd = nullptr)
{
    char* at = put_signed(put_text(link, "/proc/"), pid);
    at = put_text(at, tail);
    if (fd) at = put_signed(at, *fd);
    *at = '\0';
}

}  // namespace

void anchor_link(char* link, uint32_t pid, const char* name, int32_t dirfd)
{
    if (name[0] == '/')
        proc_link(link, (int)pid, "/root");
    else if (dirfd == AC_FD_CWD)
        proc_link(link, (int)pid, "/cwd");
    else
        proc_link(link, (int)pid, "/fd/", &dirfd);
}

// The name as the process sees it: anchor target joined with the name. Returns
// the text to resolve, or null with errno set when the anchor is unreadable.
// joined is returned only once the name and its NUL are copied after the
// target, so it needs no zeroing beforehand.
const char* join_anchor(const char* link, const char* name, char* joined)
{
    ssize_t len = readlink(link, joined, JOIN_MAX);
    if (len < 0) return nullptr;
    size_t name_len = strlen(name);
    if (len == 0 || (size_t)len + name_len >= JOIN_MAX) return name;
    size_t at = (size_t)len;
    if (joined[at - 1] != '/') joined[at++] = '/';
    const char* rest = name[0] == '/' ? name + 1 : name;
    size_t rest_len = strlen(rest);
    if (at + rest_len >= JOIN_MAX) return name;
    memcpy(joined + at, rest, rest_len + 1);
    return joined;
}

extern "C" {

int IsProcessAlive(uint32_t pid) { return kill((pid_t)pid, 0) != 0 && errno == ESRCH; }

long GetFileNameFromPidAndFd(int32_t pid, int32_t fd, char* out, size_t size)
{
    char link[LINK_NAME];
    if (fd == AC_FD_CWD)
        proc_link(link, pid, "/cwd");
    else
        proc_link(link, pid, "/fd/", &fd);
    return (long)readlink(link, out, size);
}

int GetProcNameFromPid(unsigned long pid, char* out)
{
    char link[LINK_NAME];
    char* at = put_unsigned(put_text(link, "/proc/"), pid);  // %lu
    *put_text(at, "/exe") = '\0';
    char target[TARGET_MAX];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) return 0;
    target[n] = '\0';
    strcpy(out, target);
    return 1;
}

// out receives the resolved path (the part realpath resolved when it fails,
// or an empty text when it resolved nothing) followed by zeros up to n bytes
// (at most PATH_MAX), or the readlink error text followed by zeros.
int GetRealPath(uint32_t pid, const char* name, int32_t dirfd, char* out, size_t n)
{
    char link[LINK_NAME];
    anchor_link(link, pid, name, dirfd);
    char joined[JOIN_MAX];
    const char* text = join_anchor(link, name, joined);
    const size_t width = n < PATH_MAX ? n : PATH_MAX;
    if (!text) {
        char msg[256];
        int len = snprintf(out, n, "readlink(\"%s\"): %s", link, strerror_r(errno, msg, sizeof msg));
        size_t used = len < 0 ? 0 : (size_t)len + 1;
        if (used < width) memset(out + used, 0, width - used);
        return 1;
    }
    char resolved[PATH_MAX];
    resolved[0] = '\0';  // realpath may fail before writing anything
    realpath(text, resolved);
    size_t used = strnlen(resolved, sizeof resolved - 1) + 1;
    if (used > width) used = width;
    memcpy(out, resolved, used);
    if (used < width) memset(out + used, 0, width - used);
    return 1;
}

}  // extern "C"

// The kernel separates the arguments with NUL bytes, so the search covers the
// first argument, the program name as it was started.
// The first line is read as fgets would read it from the file (at most 1023
// bytes, up to and including a newline), with plain reads into a buffer on the
// stack: a stream would allocate its buffer on every call.
bool IsOnCommandLine(uint64_t pid, const char* text)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%lu/cmdline", (unsigned long)pid);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char line[CMDLINE_MAX];
    size_t got = 0;
    bool newline = false;
    while (got < sizeof line - 1 && !newline) {
        ssize_t n = read(fd, line + got, sizeof line - 1 - got);
        if (n < 0) {  // fgets gives no line after a read error either
            close(fd);
            return false;
        }
        if (n == 0) break;
        const char* nl = static_cast<const char*>(memchr(line + got, '\n', (size_t)n));
        if (nl) {
            got = (size_t)(nl - line) + 1;
            newline = true;
        } else {
            got += (size_t)n;
        }
    }
    close(fd);
    line[got] = '\0';
    return got > 0 && line[0] != '\0' && strstr(line, text) != nullptr;
}
