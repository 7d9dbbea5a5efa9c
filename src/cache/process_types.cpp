#include "cache/process_types.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/context.h"
#include "base/paths.h"
#include "cache/process_cache.h"
#include "cache/process_type_rules.h"

namespace {

// Index of the first row whose name equals the text exactly; 0 when none does.
constexpr uint64_t type_id(const char* name)
{
    for (uint32_t i = 0; i < AC_PROCESS_TYPE_COUNT; i++)
        if (same_text(ProcessTypes[i].name, name)) return i;
    return AC_PROCESS_TYPE_NONE;
}

constexpr bool every_rule_names_a_type()
{
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++)
        if (type_id(ScriptInterpreterRules[i].type) == AC_PROCESS_TYPE_NONE) return false;
    return true;
}

static_assert(every_rule_names_a_type(), "a rule names a process type that does not exist");
static_assert(type_id("normal") == AC_PROCESS_TYPE_NORMAL, "row of \"normal\"");
static_assert(type_id("prelink") == AC_PROCESS_TYPE_PRELINK, "row of \"prelink\"");
static_assert(ProcessTypes[2].trustedPaths == ProcessTypes[7].trustedPaths,
              "\"java\" and \"shell\" share one trusted-path list");

constexpr size_t FRAGMENT_NAME_MAX = 1024;

constexpr size_t text_length(const char* text)
{
    size_t n = 0;
    while (text && text[n]) n++;
    return n;
}

// What the scan needs of the rules, worked out when compiling: each rule is a
// bit, and a name matches the rule of the lowest bit it sets, as it would
// match the first rule applied in order.
constexpr size_t EXACT_LENGTH_MAX = 32;
static_assert(AC_INTERPRETER_RULE_COUNT <= 64, "one bit per rule");

struct rule_index {
    uint64_t type[AC_INTERPRETER_RULE_COUNT];
    size_t length[AC_INTERPRETER_RULE_COUNT];  // of the name or the fragment
    uint64_t exactOfLength[EXACT_LENGTH_MAX];  // exact-name rules by name length
    uint64_t fragmentStartingWith[256];        // fragment rules by first byte
    uint64_t emptyFragments;
    uint64_t directoryRules;
};

constexpr rule_index index_rules()
{
    rule_index x{};
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++) {
        const ac_interpreter_rule& r = ScriptInterpreterRules[i];
        x.type[i] = r.type ? type_id(r.type) : AC_PROCESS_TYPE_NONE;
        if (x.type[i] == AC_PROCESS_TYPE_NONE) continue;  // never decides
        const uint64_t bit = uint64_t{1} << i;
        if (r.kind == AC_RULE_EXACT_NAME && r.name) {
            x.length[i] = text_length(r.name);
            if (x.length[i] < EXACT_LENGTH_MAX) x.exactOfLength[x.length[i]] |= bit;
        } else if (r.kind == AC_RULE_NAME_CONTAINS && r.fragment) {
            x.length[i] = text_length(r.fragment);
            if (x.length[i] == 0)
                x.emptyFragments |= bit;  // found in any stem, even an empty one
            else
                x.fragmentStartingWith[(unsigned char)r.fragment[0]] |= bit;
        } else if (r.kind == AC_RULE_DIRECTORY_AND_NAME && r.directory && r.name) {
            x.directoryRules |= bit;
        }
    }
    return x;
}

constexpr rule_index rules = index_rules();

constexpr bool exact_names_fit()
{
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++)
        if (ScriptInterpreterRules[i].kind == AC_RULE_EXACT_NAME && text_length(ScriptInterpreterRules[i].name) >= EXACT_LENGTH_MAX)
            return false;
    return true;
}
static_assert(exact_names_fit(), "an exact name too long for the length index");

inline int lowest_bit(uint64_t m) { return __builtin_ctzll(m); }

uint64_t exact_matches(const char* file, size_t len)
{
    uint64_t found = 0;
    for (uint64_t m = len < EXACT_LENGTH_MAX ? rules.exactOfLength[len] : 0; m; m &= m - 1) {
        int i = lowest_bit(m);
        if (memcmp(file, ScriptInterpreterRules[i].name, len) == 0) found |= uint64_t{1} << i;
    }
    return found;
}

// The fragments found in the file name's stem: the name cut to 1023 bytes,
// then at its last '.' after the first byte.
uint64_t fragment_matches(const char* file, size_t len)
{
    size_t stem = len < FRAGMENT_NAME_MAX - 1 ? len : FRAGMENT_NAME_MAX - 1;
    for (size_t i = stem; i-- > 1;)
        if (file[i] == '.') {
            stem = i;
            break;
        }
    uint64_t found = rules.emptyFragments;
    for (size_t at = 0; at < stem; at++) {
        for (uint64_t m = rules.fragmentStartingWith[(unsigned char)file[at]]; m; m &= m - 1) {
            int i = lowest_bit(m);
            size_t n = rules.length[i];
            if (n <= stem - at && memcmp(file + at, ScriptInterpreterRules[i].fragment, n) == 0)
                found |= uint64_t{1} << i;
        }
    }
    return found;
}

uint64_t directory_matches(const ac_decision_ctx* ctx)
{
    uint64_t found = 0;
    for (uint64_t m = rules.directoryRules; m; m &= m - 1) {
        int i = lowest_bit(m);
        const ac_interpreter_rule& r = ScriptInterpreterRules[i];
        if (strcmp(ctx->processFileName, r.name) == 0 && strcmp(ctx->processPath, r.directory) == 0)
            found |= uint64_t{1} << i;
    }
    return found;
}

}  // namespace

extern "C" {

uint64_t GetProcessTypeId(const ac_interpreter_rule* rule)
{
    return rule->type ? type_id(rule->type) : AC_PROCESS_TYPE_NONE;
}

uint64_t ApplyInterpreterRule(ac_decision_ctx* ctx, const ac_interpreter_rule* rule)
{
    const char* file = ctx->processFileName;
    bool match = false;
    switch (rule->kind) {
    case AC_RULE_EXACT_NAME:
        match = rule->name && strcmp(file, rule->name) == 0;
        break;
    case AC_RULE_NAME_CONTAINS: {
        char stem[FRAGMENT_NAME_MAX];
        size_t n = strnlen(file, sizeof stem - 1);
        memcpy(stem, file, n);
        stem[n] = '\0';
        strip_last_of(stem, '.');
        match = rule->fragment && strstr(stem, rule->fragment) != nullptr;
        break;
    }
    case AC_RULE_DIRECTORY_AND_NAME:
        match = rule->directory && rule->name && strcmp(ctx->processPath, rule->directory) == 0 &&
                strcmp(file, rule->name) == 0;
        break;
    default:
        break;
    }
    return match ? GetProcessTypeId(rule) : AC_PROCESS_TYPE_NONE;
}

// The rules applied in order as ApplyInterpreterRule applies each, with the
// file name's stem (the name without its last extension) made once instead of
// once per fragment rule: every exec and script open by a process of no
// cached type runs this scan.
uint64_t GetProcessInterpreterType(ac_decision_ctx* ctx)
{
    const char* file = ctx->processFileName;
    size_t len = strlen(file);
    uint64_t found = exact_matches(file, len) | fragment_matches(file, len) | directory_matches(ctx);
    if (!found) return AC_PROCESS_TYPE_NORMAL;
    uint64_t type = rules.type[lowest_bit(found)];
    ctx->nocache = ProcessTypes[type].nocache;
    return type;
}

bool IsInterpreter(uint64_t type)
{
    return type < AC_PROCESS_TYPE_COUNT && ProcessTypes[type].interpreter != 0;
}

bool IsExtensionInterpreted(uint64_t type, const char* extension)
{
    if (type == AC_PROCESS_TYPE_NONE || type >= AC_PROCESS_TYPE_COUNT || !extension) return false;
    const ac_process_type& row = ProcessTypes[type];
    for (uint32_t i = 0; i < row.extensionCount; i++)
        if (strcmp(row.extensions[i], extension) == 0) return true;
    return false;
}


}  // extern "C"
