// The state of the simulated machine, shared by machine.cpp and device.cpp.
#pragma once
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "machine.h"

namespace drv {

// One open of the device: the caller holds app_fd, the driver keeps driver_fd.
// Records wait in backlog until the socket takes them, so any number can be
// queued; in_socket counts those the socket holds and the caller has not read.
struct Handle {
    int app_fd = -1;
    int driver_fd = -1;
    bool open = true;
    bool hung = false;  // hangup asked for
    bool shut = false;  // driver_fd shut down: nothing more will arrive
    std::deque<std::string> backlog;
    size_t in_socket = 0;
    unsigned sending = 0;        // sends in progress outside the lock
    bool close_pending = false;  // driver_fd closes when the last of them ends
    uint32_t last_id = 0;  // the id of the last record read: a zero reply names it
    // Host mode: the files of the records queued, in order, and of the one
    // the engine holds now (busy), so that a file's records stay on one handle.
    std::deque<uint64_t> keys;
    uint64_t current = 0;
    bool busy = false;
    int standby_fd = -1;  // the engine thread's epoll set (fanotify_source.h)
    unsigned standby_gen = 0;
    // A record its own engine thread read from the kernel and queued for
    // itself with nothing before it: handed over without the socket.
    std::vector<char> direct;
    size_t direct_len = 0;
};

struct Failure {
    int err = 0;
    unsigned count = 0;
    unsigned skip = 0;
};

struct State {
    std::mutex mu;
    std::set<std::string> modules;
    bool node = false;
    dev_t rdev = 0;
    unsigned major = kDefaultMajor;
    std::vector<std::shared_ptr<Handle>> handles;  // index + 1 is the handle's number
    std::unordered_map<int, std::shared_ptr<Handle>> open_fds;
    // Files with records queued or in the engine's hands: on which handle, how many.
    std::unordered_map<uint64_t, std::pair<const Handle*, uint32_t>> unfinished;
    // What the driver received, for take_replies/take_commands: bounded, and
    // not kept at all in host mode, where no one takes it.
    bool keep_log = true;
    std::vector<Reply> replies;
    std::vector<std::string> commands;
    LastCommand last{};
    Failure failures[OP_COUNT];
};

// Created on first use and never destroyed: descriptors are closed by exit
// handlers and other threads after static destructors would have run.
State& state();

int take_failure_locked(State& s, Op op);
// Closes the driver's side of every handle and forgets them (reset).
void drop_handles_locked(State& s);

}  // namespace drv
