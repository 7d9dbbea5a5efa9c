// Permission events (exec and open) become held records named for the
// engine (file_names.h).
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "file_names.h"
#include "machine.h"
#include "log.h"
#include "real_libc.h"
#include "rule_program.h"
#include "source_state.h"

namespace drv::fan {

namespace {

// The event's file, looked at once and only when something needs it.
struct EventFile {
    int fd = -1;
    struct stat st;
    int looked = 0;  // 1: st is valid, -1: fstat failed
    bool look()
    {
        if (!looked) looked = fstat(fd, &st) == 0 ? 1 : -1;
        return looked > 0;
    }
};

// The opener's open call, read once and only when something needs it.
struct Opener {
    pid_t pid = 0, tid = 0;
    uint32_t flags = 0, mode = 0;
    Call call = Call::unknown;
    bool read = false;
    Call get()
    {
        if (!read) call = open_call(pid, &tid, &flags, &mode), read = true;
        return call;
    }
    bool writes() const { return (flags & O_ACCMODE) != O_RDONLY; }
};

// True when nobody has the event's file open for writing, so that the opener,
// which holds its write access while it waits for us, only reads: the kernel
// grants a read lease only then. One quick call, where the opener's call waits
// until the opener is off its processor. The lease goes with the descriptor,
// closed right after the answer.
bool nobody_writes(int event_fd)
{
    return fcntl(event_fd, F_SETLEASE, F_RDLCK) == 0;
}

// What the rule program may read of an open, each read once and only when a
// test asks for it.
struct RuleText {
    Source* state = nullptr;
    pid_t pid = 0;
    EventFile* file = nullptr;
    Opener* opener = nullptr;
    char exe[PATH_MAX];
    ssize_t exe_len = -2;  // -2: not read yet
    std::string path;
    int path_read = 0;  // 1: read, -1: unreadable
};

bool read_path(RuleText& t)
{
    if (!t.path_read) {
        if (t.file->look()) t.path = verified_path(*t.state, t.file->fd, t.file->st);
        t.path_read = t.path.empty() ? -1 : 1;
    }
    return t.path_read > 0;
}

bool rule_text(void* ctx, uint32_t subject, const char** s, size_t* n)
{
    RuleText& t = *static_cast<RuleText*>(ctx);
    if (subject == kSubjectFilePath) {
        const bool read = read_path(t);
        *s = t.path.data();
        *n = t.path.size();
        return read;
    }
    if (subject != kSubjectProgramName && subject != kSubjectProgramPath) return false;
    if (t.exe_len == -2) t.exe_len = proc_link(t.pid, "exe", t.exe, sizeof t.exe);
    if (t.exe_len <= 0 || (size_t)t.exe_len >= sizeof t.exe) return false;
    *s = t.exe;
    *n = (size_t)t.exe_len;
    if (subject == kSubjectProgramName) {
        const char* slash = static_cast<const char*>(memrchr(t.exe, '/', (size_t)t.exe_len));
        if (slash) *s = slash + 1, *n = (size_t)(t.exe + t.exe_len - (slash + 1));
    }
    return true;
}

bool rule_flags(void* ctx, uint32_t* flags)
{
    Opener& o = *static_cast<RuleText*>(ctx)->opener;
    if (o.get() != Call::open) return false;
    *flags = o.flags;
    return true;
}

// The open-post of a write open: queued, not held, once the open is allowed.
std::unique_ptr<ac_event_record> open_post(const Opener& o, const ProcInfo& p, const std::string& name)
{
    auto post = new_record(EVENT_OPEN_POST, o.tid, p);
    set_name(post->name, &post->name_len, name);
    post->flags = o.flags;
    post->mode = o.mode;
    return post;
}

// An open the uploaded rule program settles: answered here, with no record
// for the engine, except the open-post of a write open allowed. False: the
// engine judges it. In a batch of several, the opener's call is read only
// for a denial, a program that tests the flags, or a file someone has open
// for writing.
bool by_rules(Source& state, const struct fanotify_event_metadata* m, Opener& o, ProcInfo& p, EventFile& file)
{
    RuleText t;  // exe is filled only when read
    t.state = &state;
    t.pid = m->pid;
    t.file = &file;
    t.opener = &o;
    RuleInput in;
    in.read_flags = rule_flags;
    in.text = rule_text;
    in.ctx = &t;
    const int action = judge_by_rules(EVENT_OPEN_PRE, in);
    if (action != kRuleIgnore && action != kRuleAllow && action != kRuleDeny) return false;
    const bool deny = action == kRuleDeny;
    const bool leased = !o.read && !deny && batch_of_several() && nobody_writes(m->fd);
    if (!leased && o.get() != Call::open) return false;
    const bool write = !leased && o.writes();
    std::string name;
    if (write) {
        // The drift tracker still sees the write: the open-post goes out.
        if (!read_path(t) || !name_for(m->pid, t.path, &name)) return false;
    }
    bool allow = !deny;
    Answer answer;  // written once the lock is released
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.rule_answers++;
        state.c.lease_reads += leased;
        if (deny && !state.opt.enforcing) {
            state.c.would_deny++;
            allow = true;
        }
        if (!allow || !write) answer = answer_locked(state, m->fd, allow);
    }
    if (answer.event_fd >= 0) send_answer(state, answer);
    if (deny) log::line("rules: %s open by pid %d", allow ? "would deny" : "denied", (int)m->pid);
    if (!allow || !write) return true;
    notifications_first(state);
    Held h;  // queued, not held: no deadline or timing
    h.event_fd = m->fd;
    h.pid = m->pid;
    h.path = t.path;
    h.file_key = file_key(file.st.st_dev, file.st.st_ino);
    complete_info(&p);
    h.post = open_post(o, p, name);
    allow_write_open(state, h);
    return true;
}

void allow_followup(Source& state, int event_fd)
{
    Answer answer;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.followups++;
        answer = answer_locked(state, event_fd, true);
    }
    send_answer(state, answer);
}

}  // namespace

// ---------------------------------------------------------------- permission events

void permission_event(Source& state, const struct fanotify_event_metadata* m)
{
    const int64_t read_us = now_us();
    const pid_t pid = m->pid;  // the process (fanotify reports the thread group)
    const bool exec = m->mask & FAN_OPEN_EXEC_PERM;
    EventFile file;
    file.fd = m->fd;
    std::pair<dev_t, ino_t> exec_file{};
    bool after_exec = false;
    {
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.perm_events++;
        if (!t_reader) state.c.engine_reads++;
        auto it = exec ? state.exec_followup.end() : state.exec_followup.find(pid);
        if (it != state.exec_followup.end()) {
            exec_file = it->second;
            after_exec = true;
            state.exec_followup.erase(it);
        }
    }
    if (after_exec && file.look() && exec_file.first == file.st.st_dev && exec_file.second == file.st.st_ino) {
        allow_followup(state, m->fd);
        return;
    }
    if (allow_exempt(state, m)) return;
    // An exec is mostly a new process's first event; the opens of one
    // process come again and again (open_call keeps it). An open's parent
    // and owner are read only if it gets a record.
    ProcInfo p;
    p.pid = pid;
    p.complete = false;
    if (exec) p = kept_proc_info(pid, false);
    Opener o;
    o.pid = o.tid = pid;
    if (!exec && pid != state.self && by_rules(state, m, o, p, file)) return;
    const Call call = exec ? Call::exec : o.get();
    if (!exec && call == Call::exec) {
        // An open made by an exec that was not seen as one (binfmt, uselib).
        allow_followup(state, m->fd);
        return;
    }
    notifications_first(state);
    complete_info(&p);
    const bool have_stat = file.look();
    const struct stat& st = file.st;
    auto rec = new_record(exec ? EVENT_EXECVE_PRE : EVENT_OPEN_PRE, o.tid, p);
    rec->flags = o.flags;
    rec->mode = o.mode;
    if (pid == state.self) {
        // The engine's own process: never wait for ourselves. The record still
        // goes to the engine, which answers it as an own event.
        set_name(rec->name, &rec->name_len, fd_path(m->fd));
        {
            std::lock_guard<std::mutex> lock(state.mu);
            state.c.own++;
            respond_locked(state, m->fd, true);
        }
        queue(state, rec.get());
        return;
    }
    std::string path = have_stat ? verified_path(state, m->fd, st) : std::string(), name;
    if (!name_for(pid, path, &name)) {
        // Nothing the engine resolves leads to this file: an exec is judged
        // here, an open goes through.
        std::lock_guard<std::mutex> lock(state.mu);
        state.c.unnamed++;
        bool allow = !exec || !state.opt.enforcing;
        if (exec && allow) {
            state.c.would_deny++;
            if (have_stat) state.exec_followup[pid] = {st.st_dev, st.st_ino};
        }
        respond_locked(state, m->fd, allow);
        return;
    }
    set_name(rec->name, &rec->name_len, name);
    Held h;
    h.read_us = read_us;
    h.event_fd = m->fd;
    h.pid = pid;
    h.exec = exec;
    h.path = path;
    h.file_key = file_key(st.st_dev, st.st_ino);
    if (exec || call == Call::unknown) {
        std::lock_guard<std::mutex> lock(state.mu);
        if (exec)
            state.exec_followup[pid] = {st.st_dev, st.st_ino};
        else
            state.c.unknown_flags++;
    }
    if (!exec && o.writes()) h.post = open_post(o, p, name);
    hold_and_queue(state, std::move(h), rec.get());
}

}  // namespace drv::fan
