#include "cache/process_types.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/context.h"
#include "base/paths.h"
#include "cache/process_cache.h"

namespace {

constexpr const char* java_extensions[] = {"class", "jar", "ear", "war"};
// Shared by "java" and "shell".
constexpr const char* java_paths[] = {
    "/opt/IBM/WebSphere/AppServer/profiles",
    "/opt/apps/lsam18s/tmp/SMA",
    "/Mount_HPExstream",
    "/opt/IBM/IES",
    "/etc/bash_completion.d",
};
constexpr const char* python_extensions[] = {"py", "pyc", "pyo", "pyz", "rb", "erb"};
constexpr const char* php_extensions[] = {"php"};
constexpr const char* web_extensions[] = {"php", "py", "pyc", "pyo", "pyz", "pyd", "rb", "erb"};
constexpr const char* perl_extensions[] = {"pl"};
constexpr const char* shell_extensions[] = {"ksh", "sh", "bash", "cron", "init"};
constexpr const char* power_extensions[] = {"ps1", "psm1"};
constexpr const char* power_paths[] = {"\\temp\\"};
constexpr const char* batch_extensions[] = {"bat", "cmd"};
constexpr const char* wscript_extensions[] = {"wsh", "vb", "vbs", "js", "jse", "ws", "wsf"};
constexpr const char* sihclient_extensions[] = {"dll"};
constexpr const char* sihclient_paths[] = {"\\windows\\softwaredistribution\\"};
constexpr const char* dotnet_paths[] = {"\\temp\\", "\\windows\\assembly"};
constexpr const char* spoolsv_paths[] = {"\\temp\\", "\\windows\\system32\\spool\\drivers",
                                         "\\windows\\syswow64"};
constexpr const char* patch_paths[] = {"\\kelm\\"};
constexpr const char* wmiprvse_paths[] = {"\\temp\\"};
constexpr const char* sdiagnhost_paths[] = {"\\temp\\"};
constexpr const char* mpam_paths[] = {"\\temp\\"};
constexpr const char* cleanmgr_paths[] = {"\\temp\\", "\\users\\"};
constexpr const char* dism_paths[] = {"\\temp\\", "\\users\\"};
constexpr const char* ie_paths[] = {"\\temp\\", "\\users\\"};
constexpr const char* mrt_paths[] = {"\\temp\\", "\\windows\\system32\\"};
constexpr const char* poqexec_paths[] = {"\\temp\\", "\\program files", "\\windows\\system32"};
constexpr const char* trustedinstaller_paths[] = {
    "\\temp\\",           "\\windows\\softwaredistribution", "\\windows\\winsxs",
    "\\windows\\system32", "\\windows\\syswow64",             "\\users",
};
constexpr const char* msiexec_paths[] = {"\\temp\\", "\\windows\\", "\\program files\\quillon"};
constexpr const char* mpsigstub_paths[] = {"\\temp\\", "\\windows\\system32"};
constexpr const char* msmpeng_paths[] = {"\\temp\\", "\\programdata\\microsoft", "\\windows\\winsxs",
                                         "\\windows\\softwaredistribution\\"};
constexpr const char* kb2901983_paths[] = {"\\temp\\", "\\8b5bc664f2d37f112f84bdc9"};
constexpr const char* kb890830_paths[] = {"\\temp\\", "\\windows\\system32"};
constexpr const char* svchost_paths[] = {"\\temp\\", "\\windows\\winsxs", "\\windows\\softwaredistribution"};
constexpr const char* tiworker_paths[] = {
    "\\temp\\",
    "\\boot\\",
    "\\windows\\system32",
    "\\windows\\assembly",
    "\\windows\\winsxs",
    "\\windows\\softwaredistribution\\download",
    "\\windows\\microsoft.net",
    "\\windows\\inf",
};
constexpr const char* dfsr_paths[] = {"\\system volume information\\"};
constexpr const char* aspentech_paths[] = {"\\aspentech\\", "\\safenet sentinel\\"};

template <size_t N>
constexpr uint32_t count(const char* const (&)[N])
{
    return (uint32_t)N;
}

#define AC_LIST(list) list, count(list)
#define AC_NONE nullptr, 0

constexpr bool same_text(const char* a, const char* b)
{
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

}  // namespace

extern "C" {

constexpr ac_process_type ProcessTypes[AC_PROCESS_TYPE_COUNT] = {
    {"", 0, 0, 0, AC_NONE, AC_NONE},
    {"normal", 0, 0, 0, AC_NONE, AC_NONE},
    {"java", 1, 1, 0, AC_LIST(java_extensions), AC_LIST(java_paths)},
    {"python", 1, 0, 0, AC_LIST(python_extensions), AC_NONE},
    {"php", 1, 0, 0, AC_LIST(php_extensions), AC_NONE},
    {"web", 1, 0, 0, AC_LIST(web_extensions), AC_NONE},
    {"perl", 1, 0, 0, AC_LIST(perl_extensions), AC_NONE},
    {"shell", 1, 1, 0, AC_LIST(shell_extensions), AC_LIST(java_paths)},
    {"power", 1, 1, 0, AC_LIST(power_extensions), AC_LIST(power_paths)},
    {"batch", 1, 0, 0, AC_LIST(batch_extensions), AC_NONE},
    {"wscript", 1, 0, 0, AC_LIST(wscript_extensions), AC_NONE},
    {"sihclient", 1, 1, 0, AC_LIST(sihclient_extensions), AC_LIST(sihclient_paths)},
    {"prelink", 0, 1, 0, AC_NONE, AC_NONE},
    {"dotnet", 0, 1, 0, AC_NONE, AC_LIST(dotnet_paths)},
    {"spoolsv", 0, 1, 0, AC_NONE, AC_LIST(spoolsv_paths)},
    {"patch", 0, 1, 0, AC_NONE, AC_LIST(patch_paths)},
    {"wmiprvse", 0, 1, 0, AC_NONE, AC_LIST(wmiprvse_paths)},
    {"sdiagnhost", 0, 1, 0, AC_NONE, AC_LIST(sdiagnhost_paths)},
    {"mpam", 0, 1, 0, AC_NONE, AC_LIST(mpam_paths)},
    {"cleanmgr", 0, 1, 0, AC_NONE, AC_LIST(cleanmgr_paths)},
    {"dism", 0, 1, 0, AC_NONE, AC_LIST(dism_paths)},
    {"ie", 0, 1, 0, AC_NONE, AC_LIST(ie_paths)},
    {"mrt", 0, 1, 0, AC_NONE, AC_LIST(mrt_paths)},
    {"poqexec", 0, 1, 0, AC_NONE, AC_LIST(poqexec_paths)},
    {"trustedinstaller", 0, 1, 0, AC_NONE, AC_LIST(trustedinstaller_paths)},
    {"msiexec", 0, 1, 0, AC_NONE, AC_LIST(msiexec_paths)},
    {"mpsigstub", 0, 1, 0, AC_NONE, AC_LIST(mpsigstub_paths)},
    {"msmpeng", 0, 1, 0, AC_NONE, AC_LIST(msmpeng_paths)},
    {"kb2901983", 0, 1, 0, AC_NONE, AC_LIST(kb2901983_paths)},
    {"kb890830", 0, 1, 0, AC_NONE, AC_LIST(kb890830_paths)},
    {"svchost", 0, 1, 0, AC_NONE, AC_LIST(svchost_paths)},
    {"tiworker", 0, 1, 0, AC_NONE, AC_LIST(tiworker_paths)},
    {"dfsr", 0, 1, 0, AC_NONE, AC_LIST(dfsr_paths)},
    {"aspentech", 0, 1, 0, AC_NONE, AC_LIST(aspentech_paths)},
};

#define AC_NAME(n, type) {AC_RULE_EXACT_NAME, nullptr, n, nullptr, type}
#define AC_FRAGMENT(f, type) {AC_RULE_NAME_CONTAINS, nullptr, nullptr, f, type}

// Scan order matters: the first rule that matches decides.
constexpr ac_interpreter_rule ScriptInterpreterRules[AC_INTERPRETER_RULE_COUNT] = {
    {AC_RULE_NONE, nullptr, nullptr, nullptr, nullptr},
    AC_NAME("powershell.exe", "power"),
    AC_NAME("powershell.exe", "power"),
    AC_NAME("powershell_ise.exe", "power"),
    AC_NAME("cmd.exe", "batch"),
    AC_NAME("cscript.exe", "wscript"),
    AC_NAME("wscript.exe", "wscript"),
    AC_NAME("mscorsvw.exe", "dotnet"),
    AC_NAME("tiworker.exe", "tiworker"),
    AC_NAME("wmiprvse.exe", "wmiprvse"),
    AC_NAME("spoolsv.exe", "spoolsv"),
    AC_NAME("trustedinstaller.exe", "trustedinstaller"),
    AC_NAME("RemoteFXvGPUDisablement.exe", "trustedinstaller"),
    AC_NAME("updateplatform.exe", "trustedinstaller"),
    AC_NAME("csc.exe", "trustedinstaller"),
    AC_NAME("msiexec.exe", "msiexec"),
    AC_NAME("mpsigstub.exe", "mpsigstub"),
    AC_NAME("sdiagnhost.exe", "sdiagnhost"),
    AC_NAME("msmpeng.exe", "msmpeng"),
    AC_NAME("wuauclt.exe", "msmpeng"),
    AC_NAME("cleanmgr.exe", "cleanmgr"),
    AC_NAME("mrt.exe", "mrt"),
    AC_NAME("patch.exe", "patch"),
    AC_NAME("dism.exe", "dism"),
    AC_NAME("taskhostw.exe", "svchost"),
    AC_NAME("svchost.exe", "svchost"),
    AC_NAME("poqexec.exe", "poqexec"),
    AC_NAME("sh", "shell"),
    AC_NAME("sihclient.exe", "sihclient"),
    AC_NAME("dfsrs.exe", "dfsr"),
    AC_NAME("processexplorer.exe", "aspentech"),
    AC_NAME("aspensplash.exe", "aspentech"),
    AC_NAME("iqtask.exe", "aspentech"),
    AC_FRAGMENT("kb2901983", "kb2901983"),
    AC_FRAGMENT("kb890830", "kb890830"),
    AC_FRAGMENT("mpam-", "mpam"),
    AC_FRAGMENT("ie11-windows", "ie"),
    AC_FRAGMENT("java", "java"),
    AC_FRAGMENT("sma_lsam", "java"),
    AC_FRAGMENT("python", "python"),
    AC_FRAGMENT("php", "php"),
    AC_FRAGMENT("nginx", "web"),
    AC_FRAGMENT("apache2", "web"),
    AC_FRAGMENT("httpd", "web"),
    AC_FRAGMENT("lighttpd", "web"),
    AC_FRAGMENT("perl", "perl"),
    AC_FRAGMENT("bash", "shell"),
    AC_FRAGMENT("dash", "shell"),
    AC_FRAGMENT("csh", "shell"),
    AC_FRAGMENT("ksh", "shell"),
    {AC_RULE_DIRECTORY_AND_NAME, "/usr/sbin/", "prelink", nullptr, "prelink"},
    {AC_RULE_DIRECTORY_AND_NAME, "/usr/sbin/", "prelink", nullptr, "prelink"},
};

#undef AC_NAME
#undef AC_FRAGMENT

constexpr const char* executableExtensions[AC_EXECUTABLE_EXTENSION_COUNT] = {
    "class", "jar", "ear", "war", "rb", "erb", "py", "pyc", "pyo", "pyz", "pyd", "php", "pl", "ksh",
    "sh", "bash", "cron", "ps1", "psm1", "vb", "vbs", "vbscript", "ws", "wsf", "wsh", "bat", "cmd", "acm",
    "ax", "cpl", "com", "dll", "drv", "efi", "exe", "mui", "ocx", "scr", "sys", "tsp", "inf", "ins",
    "inx", "isu", "job", "jse", "msc", "msi", "msp", "mst", "paf", "pif", "ini", "manifest", "so", "init",
};

}  // extern "C"

#undef AC_LIST
#undef AC_NONE

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

constexpr size_t CMDLINE_MAX = 1024;
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

// The kernel separates the arguments with NUL bytes, so the search covers the
// first argument, the program name as it was started.
// The first line is read as fgets would read it from the file (at most 1023
// bytes, up to and including a newline), with plain reads into a buffer on the
// stack: a stream would allocate its buffer on every call.
bool IsOnCommandLine(uint64_t pid, const char* text)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%lu/cmdline", (unsigned long)pid);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char line[CMDLINE_MAX];
    size_t got = 0;
    bool newline = false;
    while (got < sizeof line - 1 && !newline) {
        ssize_t n = read(fd, line + got, sizeof line - 1 - got);
        if (n < 0) {  // fgets gives no line after a read error either
            close(fd);
            return false;
        }
        if (n == 0) break;
        const char* nl = static_cast<const char*>(memchr(line + got, '\n', (size_t)n));
        if (nl) {
            got = (size_t)(nl - line) + 1;
            newline = true;
        } else {
            got += (size_t)n;
        }
    }
    close(fd);
    line[got] = '\0';
    return got > 0 && line[0] != '\0' && strstr(line, text) != nullptr;
}

}  // extern "C"
