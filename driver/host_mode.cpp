// Host mode: the simulated machine's driver loaded for good, its records fed
// by the fanotify source from the chosen mounts of this host.
#include "host_mode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fanotify_source.h"
#include "machine.h"

#define ACDRIVER_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kDefaultFstypes = "ext4,xfs,btrfs,tmpfs,overlay,vfat";

std::vector<std::string> split_list(const char* text)
{
    std::vector<std::string> out;
    std::string item;
    for (const char* p = text;; p++) {
        if (*p == ',' || *p == '\0') {
            if (!item.empty()) out.push_back(item);
            item.clear();
            if (!*p) break;
        } else {
            item += *p;
        }
    }
    return out;
}

// s as a JSON string: quotes, backslashes and control bytes escaped.
void append_json_string(std::string& out, const std::string& s)
{
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    out += '"';
}

void append_number(std::string& out, const char* key, unsigned long long v)
{
    char buf[64];
    snprintf(buf, sizeof buf, ",\"%s\":%llu", key, v);
    out += buf;
}

}  // namespace

ACDRIVER_API const char* acdriver_default_fstypes(void) { return kDefaultFstypes; }

ACDRIVER_API int acdriver_start(const struct acdriver_config* c, char* why, size_t why_size)
{
    std::string text;
    int err;
    try {
        drv::fan::Options o;
        o.host = true;
        for (int i = 0; i < c->mount_count; i++) o.mounts.push_back(c->mounts[i]);
        o.fstypes = split_list(c->fstypes ? c->fstypes : kDefaultFstypes);
        for (int i = 0; i < c->exempt_count; i++) o.exempt.push_back(c->exempt[i]);
        o.timeout_ms = c->deadline_ms;
        o.deadline_deny = c->deadline_deny != 0;
        o.enforcing = c->enforcing != 0;
        o.initial_namespace = c->initial_namespace != 0;
        drv::Setup s;
        s.hook = s.driver = s.node = 1;
        drv::setup(s);
        drv::keep_log(false);
        err = drv::fan::start(o, &text);
        if (err) {
            drv::Setup off;
            off.hook = off.driver = off.node = 0;
            drv::setup(off);
        }
    } catch (const std::exception& e) {
        err = ENOMEM;
        text = e.what();
    }
    if (why && why_size) snprintf(why, why_size, "%s", text.c_str());
    return err;
}

ACDRIVER_API unsigned acdriver_stop(void)
{
    unsigned n = drv::fan::stop();
    drv::hangup(0);
    return n;
}

ACDRIVER_API void acdriver_set_enforcing(int enforcing) { drv::fan::set_enforcing(enforcing != 0); }

ACDRIVER_API size_t acdriver_status_json(char* buf, size_t size)
{
    std::string out;
    try {
        drv::fan::Status st = drv::fan::status();
        const drv::fan::Counters& c = st.counters;
        out = "{\"kind\":\"host\",\"on\":";
        out += st.on ? "true" : "false";
        out += ",\"mode\":";
        out += st.enforcing ? "\"enforcing\"" : "\"permissive\"";
        out += ",\"deadline_answer\":";
        out += st.deadline_deny ? "\"deny\"" : "\"allow\"";
        append_number(out, "deadline_ms", (unsigned long long)st.timeout_ms);
        out += ",\"mounts\":[";
        for (size_t i = 0; i < st.mounts.size(); i++) {
            if (i) out += ',';
            append_json_string(out, st.mounts[i]);
        }
        out += ']';
        append_number(out, "held", st.held);
        append_number(out, "sessions", st.sessions);
        const struct {
            const char* key;
            uint64_t value;
        } counters[] = {
            {"perm_events", c.perm_events}, {"notify_events", c.notify_events}, {"records", c.records},
            {"allowed", c.allowed}, {"denied", c.denied}, {"replied", c.replied},
            {"deadline_allowed", c.timeouts}, {"deadline_denied", c.deadline_denied},
            {"would_deny", c.would_deny}, {"own", c.own}, {"exempt", c.exempt},
            {"unnamed", c.unnamed}, {"unresolved", c.unresolved}, {"unqueued", c.unqueued},
            {"stopped", c.stopped}, {"overflows", c.overflows}, {"mount_changes", c.mount_changes},
            {"engine_reads", c.engine_reads}, {"rule_answers", c.rule_answers},
            {"lease_reads", c.lease_reads}, {"unknown_flags", c.unknown_flags},
        };
        for (const auto& k : counters) append_number(out, k.key, k.value);
        out += '}';
    } catch (const std::exception&) {
        out = "{}";
    }
    if (size) snprintf(buf, size, "%s", out.c_str());
    return out.size();
}
