// The careful reader behind file hashing; digests of ordinary files are
// checked from Lua (test_file_hash.lua).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <openssl/evp.h>

#include "ac/file_hash.h"
#include "unit_util.h"

namespace {

std::string sha256(const std::string& data)
{
    unsigned char out[32];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
    return std::string((const char*)out, len);
}

TEST(FileHash, FifoWithIdleWriterEndsWithEagain)
{
    TempDir dir("hash");
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = open(fifo.c_str(), O_RDWR);  // keeps a writer without blocking
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "0123456789", 10), 10);
    ac_file_digests d;
    uint64_t count = 99;
    EXPECT_EQ(ac_hash_file(fifo.c_str(), AC_HASH_SHA256, &d, &count), EAGAIN);
    EXPECT_EQ(count, 10u) << "the bytes before the failure are counted";
    // Nothing buffered now: the call still ends.
    EXPECT_EQ(ac_hash_file(fifo.c_str(), AC_HASH_SHA256, &d, &count), EAGAIN);
    EXPECT_EQ(count, 0u);
    close(writer);
}

TEST(FileHash, ReaderStates)
{
    TempDir dir("hash");
    std::string path = dir.file("data", std::string(70000, 'x'));
    ac_file_s f;
    fileopen(&f, path.c_str());
    ASSERT_EQ(f.err, 0);
    ASSERT_GE(f.fd, 0);
    char buf[AC_READ_CHUNK];
    EXPECT_EQ(fileread(&f, buf, sizeof buf), (size_t)AC_READ_CHUNK);
    EXPECT_EQ(fileread(&f, buf, sizeof buf), 70000u - AC_READ_CHUNK);
    EXPECT_EQ(fileread(&f, buf, sizeof buf), 0u);
    EXPECT_EQ(f.fd, -1) << "end of file closes";
    EXPECT_EQ(f.err, 0);
    fileclose(&f);  // closing a closed reader does nothing
    EXPECT_EQ(f.err, 0);
    // A descriptor that went away under the reader: marked closed, not closed again.
    fileopen(&f, path.c_str());
    ASSERT_EQ(close(f.fd), 0);
    EXPECT_EQ(fileread(&f, buf, sizeof buf), 0u);
    EXPECT_EQ(f.err, EBADF);
    EXPECT_EQ(f.fd, -1);
}

TEST(FileHash, AccessTimeIsKept)
{
    TempDir dir("hash");
    std::string path = dir.file("atime", "content\n");
    struct timespec times[2] = {{946684800, 0}, {0, UTIME_OMIT}};  // atime in 2000
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ac_file_digests d;
    uint64_t count;
    ASSERT_EQ(ac_hash_file(path.c_str(), AC_HASH_SHA256, &d, &count), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 946684800);
    // Only meaningful where an ordinary read does update the access time.
    char c;
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(read(fd, &c, 1), 1);
    close(fd);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    if (st.st_atim.tv_sec == 946684800) GTEST_SKIP() << "file system does not update access times";
}

// Runs the reader as another user in a child; returns "err count digest-ok".
std::string as_nobody(const std::string& path, const std::string& expect)
{
    int pipefd[2];
    if (pipe(pipefd) != 0) return "pipe";
    pid_t pid = fork();
    if (pid == 0) {
        char out[64] = "setuid";
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            ac_file_digests d;
            uint64_t count = 0;
            int err = ac_hash_file(path.c_str(), AC_HASH_SHA256, &d, &count);
            bool same = err == 0 && memcmp(d.sha256, expect.data(), 32) == 0;
            snprintf(out, sizeof out, "%d %llu %d", err, (unsigned long long)count, same ? 1 : 0);
        }
        _exit(write(pipefd[1], out, strlen(out)) > 0 ? 0 : 1);
    }
    close(pipefd[1]);
    char buf[64] = {};
    ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
    close(pipefd[0]);
    waitpid(pid, nullptr, 0);
    return n > 0 ? std::string(buf, n) : "no answer";
}

TEST(FileHash, FilesOfOtherOwners)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir dir("hash");
    // O_NOATIME is refused (EPERM) to a non-owner; the second open succeeds.
    EXPECT_EQ(as_nobody(dir.file("readable", "owned by root\n", 0644), sha256("owned by root\n")), "0 14 1");
    EXPECT_EQ(as_nobody(dir.file("secret", "owned by root\n", 0600), ""), std::to_string(EACCES) + " 0 0");
}

}  // namespace
