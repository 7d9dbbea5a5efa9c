// The fanotify source's /proc readers.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace drv::fan {

struct ProcInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    uid_t euid = 0;
    bool complete = true;  // false: only pid is set (complete_info reads the rest)
};

enum class Call { unknown, open, exec };

// The file a descriptor of this process is open on; empty when unreadable.
std::string fd_path(int fd);
// Reads a small /proc file into buf (terminated); false when unreadable.
bool read_small(const char* path, char* buf, size_t size);
// The parent and the effective uid of a process.
ProcInfo proc_info(pid_t pid);
// The same, through descriptors of its /proc entries kept open (a bounded
// set, the least recently used closed first), so that the processes that
// open files again and again cost no path walks. A process not kept yet is
// kept when keep is true. A descriptor of a process that has gone reads
// ESRCH, so a reused pid is noticed and opened afresh.
ProcInfo kept_proc_info(pid_t pid, bool keep);
// Reads the rest of an incomplete ProcInfo (its pid set).
void complete_info(ProcInfo* p);
// Closes every kept descriptor.
void forget_processes();
// Looks up the C library entry points the readers use, before any mark is
// placed: a first lookup takes the loader's lock, which a thread of this
// process loading a library from a watched file system may hold while it
// waits for the reader.
void load_proc_readers();
// readlink of /proc/<pid>/<name> ("root", "exe"), through the kept directory
// when there is one.
ssize_t proc_link(pid_t pid, const char* name, char* buf, size_t size);
// The call the thread tid is blocked in, with the flags and mode of an open.
Call thread_call(pid_t pid, pid_t tid, uint32_t* flags, uint32_t* mode);
// The open or exec call process pid is blocked in; *tid is the thread. The
// process is kept (kept_proc_info), its main thread's call read first.
Call open_call(pid_t pid, pid_t* tid, uint32_t* flags, uint32_t* mode);
// The mount namespace of a process ("mnt:[...]"), empty when unreadable.
std::string mnt_ns(pid_t pid);
// True once a process no longer has a program (/proc/<pid>/exe): it has
// exited, or is exiting and has closed its memory, which precedes the
// closing of its files.
bool process_gone(pid_t pid);
// The process that post records of a gone one are made in the name of:
// process 1, or, where its links are hidden (some sandboxes), the nearest
// ancestor of self whose links the engine can read.
pid_t stand_in(pid_t self);
// The parent of a process, 0 when unreadable.
pid_t parent_of(pid_t pid);

}  // namespace drv::fan
