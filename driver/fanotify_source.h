// Live mode of the simulated driver: real file operations of this machine,
// seen through fanotify on one tmpfs mount, become the driver's event records.
//
// Safety first. start() refuses unless the mount is a tmpfs mounted exactly at
// the given directory, is not "/", is not a shared mount, is the only mount of
// its file system, the process lives in a mount namespace that differs from
// an ancestor's (a private namespace made for the purpose, e.g. by
// `unshare -m --propagation private`), and that ancestor's namespace does not
// have this file system mounted (so the tmpfs was made inside the private
// namespace: a copy of the machine's /dev/shm is refused). Every held
// permission event gets the deadline's answer once timeout_ms have passed
// without a reply: allow, or deny with deadline_deny; stop() allows every
// event still held; a process exit releases the fanotify groups, which lets
// the kernel allow whatever is still pending.
//
// Exit. A process waiting in a permission event pins every group marking the
// object, and releasing a group waits for its pinned count to drop: a killed
// watcher that released the notification group before the permission group
// would wait forever for the answer only that permission group gives (the
// exec and the watcher both hang; the kernel picks the order). A keeper
// child (group_keeper.cpp) holds the notification group's last reference:
// the dying watcher releases only the permission group, which answers
// everything, and the keeper, at the end of a pipe only the watcher writes,
// releases the other. stop() closes both groups, then ends the keeper.
//
// Host mode (Options.host) watches the mounts given, or every mount of the
// given types (followed as mounts come and go), of this process's mount
// namespace, never a pseudo file system, and refuses the machine's initial
// namespace unless allowed; none of the checks above apply (mounts.h).
//
// Two fanotify groups:
// - a permission group (FAN_CLASS_CONTENT, FAN_MARK_FILESYSTEM: a copy of the
//   mount in another mount namespace, or a bind mount of one of its files,
//   is another mount) for FAN_OPEN_EXEC_PERM and FAN_OPEN_PERM;
// - a notification group (FAN_REPORT_DFID_NAME, FAN_MARK_FILESYSTEM: the
//   kernel refuses dirent events on a mount mark) for FAN_CLOSE_WRITE,
//   FAN_ATTRIB, FAN_RENAME (or FAN_MOVED_FROM/TO where FAN_RENAME is missing)
//   and FAN_DELETE.
// Both report the process (thread group) id: the record's pid. The record
// also carries the parent (from /proc/<pid>/stat), the effective uid
// (execUid: the owner of /proc/<pid>) and the thread: for an open, the thread
// blocked in the open call (found through /proc/<pid>/task/*/syscall), else
// the pid.
//
// Records (names as below; every record carries an id from kFirstId up, pid,
// tid, ppid and execUid):
// | kernel event                 | record             | fields |
// | FAN_OPEN_EXEC_PERM           | EVENT_EXECVE_PRE   | name, fd -100; held |
// | FAN_OPEN_PERM                | EVENT_OPEN_PRE     | name, fd -100, flags and mode of the open call (from /proc/<pid>/task/<tid>/syscall); held |
// |   the same, once allowed, when the open writes | EVENT_OPEN_POST | name, fd = rc = a synthetic descriptor, flags, mode; queued before the open is answered, not held |
// | FAN_CLOSE_WRITE              | EVENT_CLOSE_PRE    | fd: the synthetic descriptor of that write open |
// |   the same, when the engine's drift tracker missed the write (below) | EVENT_CHMOD_POST | as for FAN_ATTRIB |
// | FAN_ATTRIB                   | EVENT_CHMOD_POST   | name, fd -100, rc 0, mode: the file's current st_mode |
// | FAN_RENAME / FAN_MOVED_*     | EVENT_RENAME_POST  | oldname, name, fd = oldfd = -100, rc 0 |
// | FAN_DELETE                   | EVENT_UNLINK_POST  | name, fd -100, rc 0 |
// Every open on the mount is an open-pre: the engine tells a script opened by
// an interpreter (a script execution) from any other file. An open "writes"
// when its access mode is not O_RDONLY; the engine itself tracks only those
// with O_CREAT or O_TRUNC. The opener's syscall file reads "running" for a
// moment after it queued the event; it is read again a few times. When the
// open call still cannot be read (the `unknown_flags` counter), the open-pre
// has flags 0 and no open-post follows.
// Rules. The last signed rule program the engine uploaded (rule_program.h)
// runs for each open before its record is made: IGNORE or ALLOW answers the
// open at once and DENY refuses it (permissive mode allows it), with no
// open-pre for the engine (`rule_answers`); a write open allowed so still
// gets its open-post, since the drift tracker must see the write. An open
// the program allows, read in a batch of several events, is known to read,
// without reading the opener's call, when the kernel grants a read lease on
// the file: it refuses one while anybody, the waiting opener included, has
// the file open for writing (`lease_reads`). A lone open's call is read: by
// then its opener is off its processor, and that path answers it sooner.
// Anything else, and every exec, goes to the engine. acagent host uploads a
// program that answers the opens of programs that are no script
// interpreters, which the engine would ignore (policy/driver_rules.lua).
// The FAN_OPEN_PERM that the kernel raises right after FAN_OPEN_EXEC_PERM for
// the same exec (same process, same file) is part of that exec: it is allowed
// at once and makes no record. Executable mappings make no record (fanotify
// has no such event). A notification queue overflow is reported in the
// `missed` field of the next record. The notification queue is read before
// the first record a batch of permission events makes, so one process's
// records keep the order of its operations (a close is queued before close
// returns); a batch of opens answered by the rule program makes none and
// leaves the notifications to the thread their own wake-up brings.
//
// Descriptors. The kernel does not tell a watcher the writer's descriptor:
// the open is reported before the descriptor exists and the close after it
// is gone. Each write open is therefore given a synthetic descriptor number,
// unique for the live session, from kSyntheticFdBase (2^30) up: above any
// real descriptor (start() refuses when fs.nr_open reaches it). The open-post
// and the close-pre of one open carry the same number, so the engine's drift
// tracker pairs them. The closes of one (process, file) are paired with its
// write opens in order; a close with no such open (one whose flags could not
// be read, one made before the fanotify source started) gets a new synthetic
// descriptor, which the engine finds untracked. For the engine's resolution of a close, the
// simulated driver answers readlink("/proc/<pid>/fd/<synthetic>") with the
// file's path, as /proc would have shown it before the close (renames are
// followed; an unlinked file reads "<path> (deleted)"); every other readlink
// goes to the C library. What the engine cannot get back is a process: a
// post event (close, chmod, rename, unlink) whose process has exited before
// the engine reads the record is answered by the fast path without Lua,
// since /proc/<pid>/exe is gone (see Drift for what the driver does about it).
//
// Names. The engine joins the text of /proc/<pid>/root with a record's name
// and resolves the result in the agent's mount namespace. A record's name N
// is therefore made so that root text + N is a path P of the agent's
// namespace that leads to the event's file: P is the path the event's
// descriptor prints when stat(P) has that file's device and inode; else the
// file reopened by handle through a mount of its file system in this
// namespace (O_PATH), checked the same way. With root "/", N = P; else N is P
// without the root text, and a P outside the root text has no name (nor has
// one longer than the name field). So a process in another mount namespace,
// with a file of its own mounted over a path, is judged by the file it
// opens, and a chrooted process's names are resolved inside its root. An
// exec without a name makes no record: it is denied (allowed in permissive
// mode, counted in `would_deny`); an open without one is allowed at once.
// Both count in `unnamed`. The gap: a script that an interpreter opens from
// a file no path of the agent's namespace reaches (say, one covered there
// by another mount) is never judged. A file system mounted only in another
// namespace is not marked at all, so its files make no events. The paths of
// notifications are found through the watched mount and are named for the
// acting process the same way.
//
// Drift. The engine's drift tracker follows only write opens with O_CREAT or
// O_TRUNC, at most DRIFT_RING_SIZE (64) at a time (the oldest dropped), and
// loses a close whose process it cannot resolve. A close-pre is therefore
// followed by an EVENT_CHMOD_POST of the file (mode: its st_mode, rc 0),
// which the engine's quick filters hand to the policy as an "update", when
// the write open was not one the tracker follows (or was not seen), when
// more such opens were outstanding than the ring holds at any time since
// that open, when the writer has gone, or when the engine could not judge
// the open-post or the close (its all-zero reply: the writer had gone by
// then). The engine answers a post event of
// a process it cannot find without the policy, so the post records (chmod,
// rename, unlink) of a process that has gone (/proc/<pid>/exe unreadable)
// name a stand-in: process 1, or, where its links are hidden, the nearest
// readable ancestor of the agent. The close-pre keeps the writer, so that
// the tracker releases its entry.
//
// Handles. In host mode with no handle set, the records of one file (its
// device and inode; a deleted file's path) go to one of the open handles, so
// that their order holds with several workers: to the handle that still has
// one of that file's records queued or in the engine's hands, else to the
// handle of the thread that read the event, else by the file.
//
// Stand-by (host mode). An engine thread that waits for its handle's records
// waits for events too, and reads and handles them itself, so that reading,
// deciding and answering an event happen in one thread. Both groups sit in
// every waiter's epoll set as exclusive entries:
// each event wakes one waiting thread, an engine thread when one waits, the
// reader thread (always waiting, entered last) otherwise. Reading and
// handling events is serialised (one thread at a time) and never waits for
// the engine, so an event of the agent's own process is always read, by
// the reader when every engine thread is busy.
//
// Own process. Permission events of the process that runs the fanotify
// source (the engine's process) are allowed at once by the thread that reads
// them and still queued, so the engine sees and answers them as its own
// events; no thread waits for a reply to an operation of its own process.
// Reading events opens nothing on the mount but directories, which raise no
// permission event (the marks do not ask for FAN_ONDIR).
//
// Replies (the reply ioctl): REPLY_BLOCK denies the operation (the open or
// exec fails with EPERM); every other code allows it (the 0x80 flag is
// ignored). In permissive mode (enforcing false) REPLY_BLOCK allows too and
// counts would_deny. A reply with id 0 is the engine saying it could not
// judge the record it read last from that handle (its process has no
// /proc/<pid>/exe any more): that event gets the deadline's answer at once
// (`unresolved`). Replies to ids that are not held (notification records,
// scripted records, replies after a timeout) change nothing. Every reply is
// recorded for sim.replies() as before. Each answer the driver gives on its
// own (deadline, unresolved, permissive) is logged on standard error, at
// most ten lines a second (log.h).
//
// Exempt programs (Options::exempt, files compared by device and inode): a
// permission event of a process running one is allowed at once, without a
// record. Its executable is read from /proc/<pid>/exe only when the list is
// not empty.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace drv::fan {

constexpr int kDefaultTimeoutMs = 2000;
constexpr int kMaxTimeoutMs = 60000;
constexpr uint32_t kFirstId = 0x40000001;         // live record ids count up from here
constexpr int32_t kSyntheticFdBase = 0x40000000;  // synthetic descriptors count up from here

struct Options {
    // The simulator: one tmpfs made in a private mount namespace (strict checks).
    std::string mount;
    // Host mode (host = true): these mount points, or, when none, every mount
    // of the namespace whose type is in fstypes (followed as mounts come and go).
    bool host = false;
    std::vector<std::string> mounts;
    std::vector<std::string> fstypes;
    bool initial_namespace = false;  // watching the machine's initial mount namespace allowed
    int timeout_ms = kDefaultTimeoutMs;
    bool deadline_deny = false;      // what the deadline answers
    bool enforcing = true;           // false: permissive (a denial is logged and allowed)
    std::vector<std::string> exempt; // programs whose operations are never held
    unsigned handle = 0;  // 0: the newest open handle at the time of each event
};

struct Counters {
    uint64_t perm_events = 0;    // permission events read
    uint64_t notify_events = 0;  // notification events read
    uint64_t records = 0;        // records queued for a handle
    uint64_t exec_pre = 0, open_pre = 0, open_post = 0, close_pre = 0;
    uint64_t chmod_post = 0, rename_post = 0, unlink_post = 0;
    uint64_t allowed = 0;        // permission events allowed (any cause)
    uint64_t denied = 0;         // permission events denied (any cause)
    uint64_t replied = 0;        // permission answers caused by a reply
    uint64_t timeouts = 0;       // allowed because no reply came in time
    uint64_t own = 0;            // own-process permission events allowed at once
    uint64_t followups = 0;      // exec follow-up opens allowed at once
    uint64_t unqueued = 0;       // records no handle took (permission events allowed at once)
    uint64_t stopped = 0;        // allowed by stop()
    uint64_t overflows = 0;      // notification queue overflows
    uint64_t unknown_flags = 0;  // opens whose flags could not be read
    // Time, in microseconds, summed over the permission events answered by a
    // reply: from reading the event to answering it, and the part of it
    // before the record was queued (the reader building the record).
    uint64_t held_us = 0;
    uint64_t reader_us = 0;
    uint64_t deadline_denied = 0;  // denied because no reply came in time (deadline_deny)
    uint64_t would_deny = 0;       // denials allowed in permissive mode
    uint64_t exempt = 0;           // permission events of exempt programs allowed at once
    uint64_t unnamed = 0;          // files no name of the agent's namespace reaches
    uint64_t unresolved = 0;       // events the engine could not judge, answered at once
    uint64_t mount_changes = 0;    // mount table changes followed
    uint64_t engine_reads = 0;     // permission events read by an engine thread (stand-by)
    uint64_t rule_answers = 0;     // opens the rule program answered (no record)
    uint64_t lease_reads = 0;      // of those, known as reads by a read lease (the opener's call not read)
};

struct Status {
    bool on = false;
    std::string mount;
    std::vector<std::string> mounts;  // host mode: the mount points watched now
    bool enforcing = true;
    bool deadline_deny = false;
    int timeout_ms = 0;
    unsigned handle = 0;
    bool rename_event = false;  // FAN_RENAME in use (else FAN_MOVED_FROM/TO)
    size_t held = 0;            // permission events waiting for a reply now
    size_t sessions = 0;        // write opens waiting for their close
    Counters counters;
};

// Stand-by (above): whether engine threads may read events now; the epoll
// set epfd gets both groups, and the source's generation is
// returned (0 when off), which changes when the source starts again.
bool standby_on();
unsigned join_standby(int epfd);
unsigned standby_generation();
// Reads and handles what the groups marked ready in the epoll set hold now
// (the data of its entries, OR-ed).
void intake(uint32_t ready);

// Switches between permissive and enforcing while running.
void set_enforcing(bool enforcing);

// Starts watching. 0, or an errno with *why describing the refusal.
int start(const Options& options, std::string* why);
// Stops watching and allows every held event; returns how many it allowed.
// Does nothing (returns 0) when the fanotify source is off.
unsigned stop();
Status status();

// A reply arrived through the reply ioctl (called without the state lock).
void on_reply(uint32_t id, uint32_t code);
// The engine could not judge the record with this id (its zero reply): a held
// event gets the deadline's answer at once.
void answer_unjudged(uint32_t id);

// readlink of "/proc/<pid>/fd/<n>" for a synthetic descriptor n: returns true
// and sets *result (the length, or -1 with errno) when the path is one; false
// sends the call to the C library.
bool readlink_synthetic(const char* path, char* buf, size_t size, ssize_t* result);

}  // namespace drv::fan
