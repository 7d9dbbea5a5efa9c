// Helpers shared by the unit tests.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

// A private directory, removed with its content. Under /srv, not /tmp: the
// drift tracker leaves /tmp out.
struct TempDir {
    std::string path;
    explicit TempDir(const char* tag = "unit") : path(std::string("/srv/acengine-") + tag + "-XXXXXX")
    {
        mkdir("/srv", 0755);
        EXPECT_NE(mkdtemp(&path[0]), nullptr) << path;
        chmod(path.c_str(), 0755);
    }
    ~TempDir() { (void)system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    // Writes a file with exactly this mode and returns its path.
    std::string file(const std::string& name, const std::string& data = "", mode_t mode = 0644) const
    {
        std::string p = *this / name;
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size()) << p;
        close(fd);
        chmod(p.c_str(), mode);
        return p;
    }
};

// A process that has exited and been reaped: kill(pid, 0) fails with ESRCH.
inline pid_t exited_pid()
{
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// A log stream in memory.
struct MemLog {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    ~MemLog() { fclose(f), free(buf); }
    std::string text() { return fflush(f), std::string(buf, len); }
};

// A child process running exe in dir with the given files open at the given
// descriptors (read and append, directories read-only); killed and reaped at
// the end. The constructor waits until /proc shows the program.
struct Child {
    pid_t pid = -1;
    Child(const std::vector<std::string>& argv, const std::string& dir,
          const std::vector<std::pair<int, std::string>>& fds = {}, const std::string& exe = "/usr/bin/sleep")
    {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if ((pid = fork()) == 0) {
            int null = open("/dev/null", O_RDWR);
            for (int i = 0; i < 3; i++) dup2(null, i);
            for (const auto& f : fds) {
                int o = open(f.second.c_str(), O_RDWR | O_APPEND);
                if (o < 0) o = open(f.second.c_str(), O_RDONLY | O_DIRECTORY);
                int high = fcntl(o, F_DUPFD, 200);  // clear of the descriptors still to be placed
                close(o), dup2(high, f.first), close(high);
            }
            if (chdir(dir.c_str()) == 0) execv(exe.c_str(), args.data());
            _exit(127);
        }
        char buf[PATH_MAX] = {};
        for (int i = 0; i < 500 && buf != exe; i++, usleep(10000))
            buf[std::max(readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1), 0L)] = 0;
        EXPECT_EQ(buf, exe) << " did not start";
    }
    ~Child() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
};
