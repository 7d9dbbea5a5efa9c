// The rule tables: the process types, the interpreter rules in scan order and
// the executable extensions (constant data). Included once, by the matcher
// (process_types.cpp), which works out its indexes from them when compiling.
#pragma once
#include "cache/process_types.h"

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
