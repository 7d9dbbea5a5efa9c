// The fanotify source's state and the helpers its parts share: the held
// permission events, the records it queues and the synthetic descriptors.
#pragma once
#include <sys/fanotify.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/event_record.h"
#include "fanotify_source.h"
#include "mounts.h"
#include "proc_identity.h"

namespace drv::fan {

constexpr uint32_t kReplyBlock = 3;        // REPLY_BLOCK
constexpr uint32_t kReplyCodeMask = 0x7F;  // the 0x80 flag only asks for eta
constexpr size_t kMaxSessions = 4096;      // write opens waiting for their close
constexpr size_t kMaxSynthetic = 4096;     // synthetic descriptors readlink still answers
constexpr size_t kEngineDriftRing = 64;    // write opens the engine's drift tracker holds (DRIFT_RING_SIZE)
constexpr size_t kReadBuffer = 64 * 1024;

inline int64_t now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

inline int64_t now_ms() { return now_us() / 1000; }

// A permission event waiting for the engine.
struct Held {
    int event_fd = -1;
    int64_t deadline = 0;
    int64_t read_us = 0;  // when the event was read
    int64_t reader_us = 0;  // from reading it to its record being ready
    pid_t pid = 0;
    bool exec = false;
    // A write open: once the open-pre is allowed, this open-post goes out and
    // the open stays held until the open-post's reply.
    std::unique_ptr<ac_event_record> post;
    std::string path;  // verified, in this namespace (file_names.h)
    uint64_t file_key = 0;
};

// A write open waiting for its close.
struct Session {
    int32_t fd = 0;         // its synthetic descriptor
    uint64_t seq = 0;       // write opens count up
    bool tracked = false;   // O_CREAT or O_TRUNC: the engine's drift tracker follows it
    uint64_t file_key = 0;
    uint32_t post_id = 0;   // its open-post, while the engine's reply is awaited
};

// An unheld record whose reply says whether the engine saw a change: an
// open-post or the close of a tracked write open (could the engine still
// find the writer, or did it answer all-zero?).
struct Awaited {
    pid_t pid = 0;
    bool open_post = false;
    bool closed = false;   // an open-post whose close came first
    std::string path;      // known once closed
    uint64_t file_key = 0;
};

// The owner and file of a synthetic descriptor, for readlink.
struct Synthetic {
    pid_t pid;
    std::string path;
};

struct Source {
    std::mutex control;  // start and stop, one at a time
    std::mutex intake;   // reading events and handling notifications, one thread at a time
    std::atomic<int> handling{0};  // batches of permission events read and not yet handled
    int reader_epfd = -1;
    std::atomic<bool> standby{false};
    std::atomic<unsigned> generation{0};
    std::mutex mu;       // everything below
    bool on = false;
    Options opt;
    std::vector<std::string> watched;  // mount points marked now
    HostMounts host;                   // host mode; after start, under the intake lock
    int perm_fd = -1, notif_fd = -1, mount_fd = -1, wake_r = -1, wake_w = -1;
    bool rename_event = false;
    pid_t self = 0;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::unordered_map<uint32_t, Held> held;
    int64_t reader_wake_ms = INT64_MAX;  // when the reader wakes next to answer deadlines
    std::atomic<int> answering{0};       // answers being written outside the lock
    uint32_t next_id = kFirstId;
    int32_t next_fd = kSyntheticFdBase;
    std::unordered_map<pid_t, std::pair<dev_t, ino_t>> exec_followup;  // by process
    std::map<std::pair<pid_t, std::string>, std::deque<Session>> sessions;
    size_t session_count = 0;
    size_t tracked_sessions = 0;  // of session_count
    uint64_t next_seq = 1;
    uint64_t ring_full_seq = 0;   // the last write open made with more tracked ones open than the engine's ring holds
    std::unordered_map<uint32_t, Awaited> awaited;  // by record id
    std::unordered_map<int32_t, Synthetic> synthetic;
    std::deque<int32_t> synthetic_order;
    std::vector<std::pair<dev_t, ino_t>> exempt;  // exempt programs (set before the reader starts)
    uint32_t missed = 0;  // overflows not yet reported in a record
    // FAN_MOVED_FROM waiting for its FAN_MOVED_TO (without FAN_RENAME).
    pid_t moved_pid = 0;
    std::string moved_from;
    Counters c;
};

Source& source();

extern std::atomic<bool> g_on;    // replies are looked at only while on
extern std::atomic<bool> g_ever;  // readlink is looked at once a source has started

// records.cpp
void set_name(char* field, uint32_t* len, const std::string& s);
std::unique_ptr<ac_event_record> new_record(uint32_t type, pid_t tid, const ProcInfo& p);
int32_t new_fd_locked(Source& state, pid_t pid, const std::string& path);
void prune_sessions_locked(Source& state);
int32_t open_session_locked(Source& state, pid_t pid, const std::string& path, uint32_t flags, uint64_t file_key,
                            uint32_t post_id);
bool take_session_locked(Source& state, pid_t pid, const std::string& path, Session* out);
// The engine answered the open-post post_id of a write open of pid still open.
void settle_session_locked(Source& state, pid_t pid, uint32_t post_id, bool tracked);
void await_locked(Source& state, uint32_t id, Awaited a);
// Queues a record (giving it an id when it has none); false when no handle
// took it. file_key picks the handle in host mode when no handle is set.
// With hold, the record is a permission event's, held under the new id
// (allowed at once when no handle takes it).
bool queue(Source& state, ac_event_record* rec, uint64_t file_key = 0, Held* hold = nullptr);

// held_events.cpp
void respond_locked(Source& state, int event_fd, bool allow);
// The same in two steps: counted under the lock, written after it (stop()
// waits for answers in flight before it closes the group).
struct Answer {
    int perm_fd = -1, event_fd = -1;
    bool allow = true;
};
Answer answer_locked(Source& state, int event_fd, bool allow);
void send_answer(Source& state, const Answer& a);
// Held under a new id written into rec; whether the reader must wake for its deadline.
bool hold_locked(Source& state, Held& h, ac_event_record* rec);
uint32_t new_id_locked(Source& state);
void hold_and_queue(Source& state, Held h, ac_event_record* rec);
// A write open allowed without the engine: its open-post (h.post) is queued,
// then the open is answered.
void allow_write_open(Source& state, Held& h);
extern thread_local bool t_reader;  // the calling thread is the reader
// The engine's reply to an unheld record awaited; unjudged: its all-zero
// reply, it could not find the process (a writer gone).
void awaited_reply(Source& state, uint32_t id, bool unjudged);
int next_wait(Source& state);
void expire(Source& state);

// exempt_programs.cpp: the programs' files, or an errno and *why; whether
// the event's process runs one (then the event is answered).
int exempt_ids(const std::vector<std::string>& paths, std::vector<std::pair<dev_t, ino_t>>* ids, std::string* why);
bool allow_exempt(Source& state, const struct fanotify_event_metadata* m);

// fanotify_source.cpp: reads and handles the notifications queued before
// the permission event in hand, once per batch; called before its first record.
void notifications_first(Source& state);
// True while this thread handles a batch of more than one permission event.
bool batch_of_several();

// permission_events.cpp, notification_events.cpp
void permission_event(Source& state, const struct fanotify_event_metadata* m);
void notification_event(Source& state, const struct fanotify_event_metadata* m, const char* raw);
// A change the engine's drift tracker did not see: a chmod-post in the name
// of the writer, or of the stand-in once it has gone.
void report_change(Source& state, pid_t pid, const std::string& path, uint64_t key);

}  // namespace drv::fan
