// The careful reader behind file hashing; digests of ordinary files are
// checked from Lua (test_file_hash.lua).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "ac/file_hash.h"
#include "unit_util.h"

TEST(FileHash, FifoWithIdleWriterEndsWithEagain)
{
    TempDir dir("hash");
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = open(fifo.c_str(), O_RDWR);  // keeps a writer without blocking
    ASSERT_EQ(write(writer, "0123456789", 10), 10);
    ac_file_digests d;
    uint64_t count = 99;
    EXPECT_EQ(ac_hash_file(fifo.c_str(), AC_HASH_SHA256, &d, &count), EAGAIN);
    EXPECT_EQ(count, 10u) << "the bytes before the failure are counted";
    EXPECT_EQ(ac_hash_file(fifo.c_str(), AC_HASH_SHA256, &d, &count), EAGAIN) << "nothing buffered: still ends";
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
    char buf[AC_READ_CHUNK];
    EXPECT_EQ(fileread(&f, buf, sizeof buf), (size_t)AC_READ_CHUNK);
    EXPECT_EQ(fileread(&f, buf, sizeof buf), 70000u - AC_READ_CHUNK);
    EXPECT_EQ(fileread(&f, buf, sizeof buf), 0u);
    EXPECT_EQ(f.fd, -1) << "end of file closes";
    fileclose(&f);  // closing a closed reader does nothing
    EXPECT_EQ(f.err, 0);
    // A descriptor that went away under the reader: marked closed, not closed again.
    fileopen(&f, path.c_str());
    ASSERT_EQ(close(f.fd), 0);
    EXPECT_EQ(fileread(&f, buf, sizeof buf), 0u);
    EXPECT_EQ(f.err, EBADF);
    EXPECT_EQ(f.fd, -1);
}
