#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "abstraction/context.h"
#include "cache/paths.h"
#include "cache/process_types.h"
#include "cache/trusted_paths.h"

namespace {

using texts = std::vector<std::string>;

texts list(const char* const* items, uint32_t n)
{
    texts out;
    for (uint32_t i = 0; i < n; i++) out.emplace_back(items[i]);
    return out;
}

// A context holding an executable path split the way the resolvers split it.
struct exe_ctx {
    ac_decision_ctx ctx{};
    explicit exe_ctx(const char* path)
    {
        strcpy(ctx.processName, path);
        splitpath(ctx.processPath, ctx.processFileName, ctx.processName);
    }
};

uint64_t classify(const char* path)
{
    exe_ctx e(path);
    return GetProcessInterpreterType(&e.ctx);
}

// Index of the first rule that matches, 0 when none does.
uint32_t first_rule(const char* path)
{
    exe_ctx e(path);
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++)
        if (ApplyInterpreterRule(&e.ctx, &ScriptInterpreterRules[i])) return i;
    return 0;
}

// Runs the trusted-path test with a log stream and returns what it wrote.
std::string trusted_log(uint64_t type, const char* path, bool* result)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* log = open_memstream(&buf, &len);
    *result = IsTrustedPath(type, path, log);
    fclose(log);
    std::string out(buf, len);
    free(buf);
    return out;
}

}  // namespace

TEST(ProcessTypes, RowsInIndexOrder)
{
    struct row {
        const char* name;
        uint32_t interpreter, trusted;
        texts extensions, trustedPaths;
    };
    const texts java_paths = {"/opt/IBM/WebSphere/AppServer/profiles", "/opt/apps/lsam18s/tmp/SMA",
                              "/Mount_HPExstream", "/opt/IBM/IES", "/etc/bash_completion.d"};
    const std::vector<row> want = {
        {"", 0, 0, {}, {}},
        {"normal", 0, 0, {}, {}},
        {"java", 1, 1, {"class", "jar", "ear", "war"}, java_paths},
        {"python", 1, 0, {"py", "pyc", "pyo", "pyz", "rb", "erb"}, {}},
        {"php", 1, 0, {"php"}, {}},
        {"web", 1, 0, {"php", "py", "pyc", "pyo", "pyz", "pyd", "rb", "erb"}, {}},
        {"perl", 1, 0, {"pl"}, {}},
        {"shell", 1, 1, {"ksh", "sh", "bash", "cron", "init"}, java_paths},
        {"power", 1, 1, {"ps1", "psm1"}, {"\\temp\\"}},
        {"batch", 1, 0, {"bat", "cmd"}, {}},
        {"wscript", 1, 0, {"wsh", "vb", "vbs", "js", "jse", "ws", "wsf"}, {}},
        {"sihclient", 1, 1, {"dll"}, {"\\windows\\softwaredistribution\\"}},
        {"prelink", 0, 1, {}, {}},
        {"dotnet", 0, 1, {}, {"\\temp\\", "\\windows\\assembly"}},
        {"spoolsv", 0, 1, {}, {"\\temp\\", "\\windows\\system32\\spool\\drivers", "\\windows\\syswow64"}},
        {"patch", 0, 1, {}, {"\\kelm\\"}},
        {"wmiprvse", 0, 1, {}, {"\\temp\\"}},
        {"sdiagnhost", 0, 1, {}, {"\\temp\\"}},
        {"mpam", 0, 1, {}, {"\\temp\\"}},
        {"cleanmgr", 0, 1, {}, {"\\temp\\", "\\users\\"}},
        {"dism", 0, 1, {}, {"\\temp\\", "\\users\\"}},
        {"ie", 0, 1, {}, {"\\temp\\", "\\users\\"}},
        {"mrt", 0, 1, {}, {"\\temp\\", "\\windows\\system32\\"}},
        {"poqexec", 0, 1, {}, {"\\temp\\", "\\program files", "\\windows\\system32"}},
        {"trustedinstaller", 0, 1, {},
         {"\\temp\\", "\\windows\\softwaredistribution", "\\windows\\winsxs", "\\windows\\system32",
          "\\windows\\syswow64", "\\users"}},
        {"msiexec", 0, 1, {}, {"\\temp\\", "\\windows\\", "\\program files\\quillon"}},
        {"mpsigstub", 0, 1, {}, {"\\temp\\", "\\windows\\system32"}},
        {"msmpeng", 0, 1, {},
         {"\\temp\\", "\\programdata\\microsoft", "\\windows\\winsxs", "\\windows\\softwaredistribution\\"}},
        {"kb2901983", 0, 1, {}, {"\\temp\\", "\\8b5bc664f2d37f112f84bdc9"}},
        {"kb890830", 0, 1, {}, {"\\temp\\", "\\windows\\system32"}},
        {"svchost", 0, 1, {}, {"\\temp\\", "\\windows\\winsxs", "\\windows\\softwaredistribution"}},
        {"tiworker", 0, 1, {},
         {"\\temp\\", "\\boot\\", "\\windows\\system32", "\\windows\\assembly", "\\windows\\winsxs",
          "\\windows\\softwaredistribution\\download", "\\windows\\microsoft.net", "\\windows\\inf"}},
        {"dfsr", 0, 1, {}, {"\\system volume information\\"}},
        {"aspentech", 0, 1, {}, {"\\aspentech\\", "\\safenet sentinel\\"}},
    };
    ASSERT_EQ(want.size(), 34u);
    ASSERT_EQ(AC_PROCESS_TYPE_COUNT, 34u);
    for (uint32_t i = 0; i < AC_PROCESS_TYPE_COUNT; i++) {
        SCOPED_TRACE(i);
        const ac_process_type& got = ProcessTypes[i];
        EXPECT_STREQ(got.name, want[i].name);
        EXPECT_EQ(got.interpreter, want[i].interpreter);
        EXPECT_EQ(got.trusted, want[i].trusted);
        EXPECT_EQ(got.nocache, 0u);
        EXPECT_EQ(list(got.extensions, got.extensionCount), want[i].extensions);
        EXPECT_EQ(list(got.trustedPaths, got.trustedPathCount), want[i].trustedPaths);
    }
    EXPECT_EQ(ProcessTypes[2].trustedPaths, ProcessTypes[7].trustedPaths) << "one shared list";
}

TEST(ProcessTypes, RulesInScanOrder)
{
    struct rule {
        uint32_t kind;
        const char* text;
        const char* type;
    };
    const std::vector<rule> want = {
        {0, nullptr, nullptr},
        {2, "powershell.exe", "power"}, {2, "powershell.exe", "power"},
        {2, "powershell_ise.exe", "power"}, {2, "cmd.exe", "batch"},
        {2, "cscript.exe", "wscript"}, {2, "wscript.exe", "wscript"},
        {2, "mscorsvw.exe", "dotnet"}, {2, "tiworker.exe", "tiworker"},
        {2, "wmiprvse.exe", "wmiprvse"}, {2, "spoolsv.exe", "spoolsv"},
        {2, "trustedinstaller.exe", "trustedinstaller"},
        {2, "RemoteFXvGPUDisablement.exe", "trustedinstaller"},
        {2, "updateplatform.exe", "trustedinstaller"}, {2, "csc.exe", "trustedinstaller"},
        {2, "msiexec.exe", "msiexec"}, {2, "mpsigstub.exe", "mpsigstub"},
        {2, "sdiagnhost.exe", "sdiagnhost"}, {2, "msmpeng.exe", "msmpeng"},
        {2, "wuauclt.exe", "msmpeng"}, {2, "cleanmgr.exe", "cleanmgr"}, {2, "mrt.exe", "mrt"},
        {2, "patch.exe", "patch"}, {2, "dism.exe", "dism"}, {2, "taskhostw.exe", "svchost"},
        {2, "svchost.exe", "svchost"}, {2, "poqexec.exe", "poqexec"}, {2, "sh", "shell"},
        {2, "sihclient.exe", "sihclient"}, {2, "dfsrs.exe", "dfsr"},
        {2, "processexplorer.exe", "aspentech"}, {2, "aspensplash.exe", "aspentech"},
        {2, "iqtask.exe", "aspentech"},
        {3, "kb2901983", "kb2901983"}, {3, "kb890830", "kb890830"}, {3, "mpam-", "mpam"},
        {3, "ie11-windows", "ie"}, {3, "java", "java"}, {3, "sma_lsam", "java"},
        {3, "python", "python"}, {3, "php", "php"}, {3, "nginx", "web"}, {3, "apache2", "web"},
        {3, "httpd", "web"}, {3, "lighttpd", "web"}, {3, "perl", "perl"}, {3, "bash", "shell"},
        {3, "dash", "shell"}, {3, "csh", "shell"}, {3, "ksh", "shell"},
        {1, "prelink", "prelink"}, {1, "prelink", "prelink"},
    };
    ASSERT_EQ(want.size(), 52u);
    ASSERT_EQ(AC_INTERPRETER_RULE_COUNT, 52u);
    EXPECT_EQ(ScriptInterpreterRules[0].kind, 0u);
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++) {
        SCOPED_TRACE(i);
        const ac_interpreter_rule& got = ScriptInterpreterRules[i];
        EXPECT_EQ(got.kind, want[i].kind);
        EXPECT_STREQ(got.type, want[i].type);
        if (got.kind == 3) {
            EXPECT_STREQ(got.fragment, want[i].text);
        } else {
            EXPECT_STREQ(got.name, want[i].text);
        }
        if (got.kind == 1) {
            EXPECT_STREQ(got.directory, "/usr/sbin/");
        }
        EXPECT_NE(GetProcessTypeId(&got), 0u) << "the rule's type exists";
    }
}

TEST(ProcessTypes, ExecutableExtensions)
{
    const texts want = {"class", "jar", "ear", "war", "rb", "erb", "py", "pyc", "pyo", "pyz", "pyd", "php",
                        "pl", "ksh", "sh", "bash", "cron", "ps1", "psm1", "vb", "vbs", "vbscript", "ws",
                        "wsf", "wsh", "bat", "cmd", "acm", "ax", "cpl", "com", "dll", "drv", "efi", "exe",
                        "mui", "ocx", "scr", "sys", "tsp", "inf", "ins", "inx", "isu", "job", "jse", "msc",
                        "msi", "msp", "mst", "paf", "pif", "ini", "manifest", "so", "init"};
    ASSERT_EQ(want.size(), 56u);
    EXPECT_EQ(list(executableExtensions, AC_EXECUTABLE_EXTENSION_COUNT), want);
}

TEST(ProcessTypes, GetProcessTypeIdFindsExactNames)
{
    ac_interpreter_rule r{AC_RULE_EXACT_NAME, nullptr, "x", nullptr, "shell"};
    EXPECT_EQ(GetProcessTypeId(&r), 7u);
    r.type = "aspentech";
    EXPECT_EQ(GetProcessTypeId(&r), 33u);
    r.type = "Shell";
    EXPECT_EQ(GetProcessTypeId(&r), 0u) << "case matters";
    r.type = "shel";
    EXPECT_EQ(GetProcessTypeId(&r), 0u);
    r.type = "nosuchtype";
    EXPECT_EQ(GetProcessTypeId(&r), 0u);
}

// One executable per rule, each matched first by that rule. Rows 2 and 51 are
// shadowed by their identical twins, and row 44 ("lighttpd") by row 43
// ("httpd"), so those three are checked on their own below.
TEST(ProcessTypes, EveryRuleClassifiesItsExecutable)
{
    struct sample {
        uint32_t rule;
        const char* path;
        uint64_t type;
    };
    const std::vector<sample> samples = {
        {1, "C:/Windows/System32/powershell.exe", 8},
        {3, "/x/powershell_ise.exe", 8},
        {4, "/x/cmd.exe", 9},
        {5, "/x/cscript.exe", 10},
        {6, "/x/wscript.exe", 10},
        {7, "/x/mscorsvw.exe", 13},
        {8, "/x/tiworker.exe", 31},
        {9, "/x/wmiprvse.exe", 16},
        {10, "/x/spoolsv.exe", 14},
        {11, "/x/trustedinstaller.exe", 24},
        {12, "/x/RemoteFXvGPUDisablement.exe", 24},
        {13, "/x/updateplatform.exe", 24},
        {14, "/x/csc.exe", 24},
        {15, "/x/msiexec.exe", 25},
        {16, "/x/mpsigstub.exe", 26},
        {17, "/x/sdiagnhost.exe", 17},
        {18, "/x/msmpeng.exe", 27},
        {19, "/x/wuauclt.exe", 27},
        {20, "/x/cleanmgr.exe", 19},
        {21, "/x/mrt.exe", 22},
        {22, "/x/patch.exe", 15},
        {23, "/x/dism.exe", 20},
        {24, "/x/taskhostw.exe", 30},
        {25, "/x/svchost.exe", 30},
        {26, "/x/poqexec.exe", 23},
        {27, "/bin/sh", 7},
        {28, "/x/sihclient.exe", 11},
        {29, "/x/dfsrs.exe", 32},
        {30, "/x/processexplorer.exe", 33},
        {31, "/x/aspensplash.exe", 33},
        {32, "/x/iqtask.exe", 33},
        {33, "/tmp/windows-kb2901983-x64.exe", 28},
        {34, "/tmp/windows-kb890830-v5.exe", 29},
        {35, "/tmp/mpam-fe.exe", 18},
        {36, "/tmp/ie11-windows6.1-kb.exe", 21},
        {37, "/usr/bin/java", 2},
        {38, "/opt/agent/sma_lsam_run", 2},
        {39, "/usr/bin/python3.9", 3},
        {40, "/usr/bin/php8.2", 4},
        {41, "/usr/sbin/nginx", 5},
        {42, "/usr/sbin/apache2", 5},
        {43, "/usr/sbin/httpd", 5},
        {45, "/usr/bin/perl5.36", 6},
        {46, "/bin/bash", 7},
        {47, "/bin/dash", 7},
        {48, "/bin/tcsh", 7},
        {49, "/bin/ksh93", 7},
        {50, "/usr/sbin/prelink", 12},
    };
    for (const sample& s : samples) {
        SCOPED_TRACE(s.path);
        EXPECT_EQ(first_rule(s.path), s.rule);
        EXPECT_EQ(classify(s.path), s.type);
        exe_ctx e(s.path);
        EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &ScriptInterpreterRules[s.rule]), s.type);
    }
    exe_ctx ps("/x/powershell.exe");
    EXPECT_EQ(ApplyInterpreterRule(&ps.ctx, &ScriptInterpreterRules[2]), 8u);
    exe_ctx pl("/usr/sbin/prelink");
    EXPECT_EQ(ApplyInterpreterRule(&pl.ctx, &ScriptInterpreterRules[51]), 12u);
    exe_ctx lighttpd("/usr/sbin/lighttpd");
    EXPECT_EQ(ApplyInterpreterRule(&lighttpd.ctx, &ScriptInterpreterRules[44]), 5u);
    EXPECT_EQ(first_rule("/usr/sbin/lighttpd"), 43u);
    EXPECT_EQ(classify("/usr/sbin/lighttpd"), 5u);
}

TEST(ProcessTypes, ClassificationEdgeCases)
{
    EXPECT_EQ(classify("/usr/bin/pythonista"), 3u);
    EXPECT_EQ(classify("/usr/bin/prelink"), 1u) << "the prelink rows require the directory";
    EXPECT_EQ(classify("/usr/sbin//prelink"), 1u);
    EXPECT_EQ(classify("/bin/zsh"), 1u);
    EXPECT_EQ(classify("/bin/rbash"), 7u);
    EXPECT_EQ(classify("/usr/bin/javaw"), 2u);
    EXPECT_EQ(classify("/usr/lib/jvm/bin/java"), 2u);
    EXPECT_EQ(classify("/opt/sma_lsam/bin/run"), 1u) << "fragments are sought in the file name only";
    EXPECT_EQ(classify("/usr/bin/Python3"), 1u) << "case-sensitive";
    EXPECT_EQ(classify("/x/PowerShell.exe"), 1u) << "case-sensitive";
    EXPECT_EQ(classify("/bin/sh.exe"), 1u) << "row 27 wants the exact name";
    EXPECT_EQ(classify("/bin/shell"), 1u);
    EXPECT_EQ(classify("/home/u/.bashrc"), 7u) << "a leading dot is no extension";
    EXPECT_EQ(classify("/usr/bin/tool.python"), 1u) << "the last extension is cut before the search";
    EXPECT_EQ(classify("/usr/bin/python.tool.x"), 3u);
    EXPECT_EQ(classify("/usr/bin/perl-bash"), 6u) << "the first matching rule wins";
    EXPECT_EQ(classify("/usr/bin/javaphp"), 2u);
    EXPECT_EQ(classify("python"), 3u) << "no directory";
    EXPECT_EQ(classify("/usr/bin/"), 1u) << "no file name";
    EXPECT_EQ(classify(""), 1u);
}

TEST(ProcessTypes, FragmentSearchUsesTheFirst1023Bytes)
{
    std::string name(1019, 'a');
    exe_ctx in((name + "bash").c_str());
    EXPECT_EQ(GetProcessInterpreterType(&in.ctx), 7u);
    exe_ctx cut((name + "abash").c_str());
    EXPECT_EQ(GetProcessInterpreterType(&cut.ctx), 1u);
}

TEST(ProcessTypes, MatchSetsNocacheFromTheRowAndAMissLeavesIt)
{
    exe_ctx hit("/usr/bin/perl");
    hit.ctx.nocache = 7;
    EXPECT_EQ(GetProcessInterpreterType(&hit.ctx), 6u);
    EXPECT_EQ(hit.ctx.nocache, 0u);
    exe_ctx miss("/bin/zsh");
    miss.ctx.nocache = 7;
    EXPECT_EQ(GetProcessInterpreterType(&miss.ctx), 1u);
    EXPECT_EQ(miss.ctx.nocache, 7u);
}

TEST(ProcessTypes, RuleWithUnknownTypeOrKindDoesNotMatch)
{
    exe_ctx e("/usr/bin/tool");
    ac_interpreter_rule unknown{AC_RULE_EXACT_NAME, nullptr, "tool", nullptr, "nosuchtype"};
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &unknown), 0u);
    ac_interpreter_rule known{AC_RULE_EXACT_NAME, nullptr, "tool", nullptr, "perl"};
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &known), 6u);
    ac_interpreter_rule odd{4, "/usr/bin/", "tool", "tool", "perl"};
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &odd), 0u);
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &ScriptInterpreterRules[0]), 0u);
    ac_interpreter_rule dir{AC_RULE_DIRECTORY_AND_NAME, "/usr/bin", "tool", nullptr, "perl"};
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &dir), 0u) << "the directory keeps its final slash";
    dir.directory = "/usr/bin/";
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &dir), 6u);
}

TEST(ProcessTypes, IsInterpreter)
{
    EXPECT_TRUE(IsInterpreter(2));
    EXPECT_TRUE(IsInterpreter(7));
    EXPECT_TRUE(IsInterpreter(11));
    EXPECT_FALSE(IsInterpreter(0));
    EXPECT_FALSE(IsInterpreter(1));
    EXPECT_FALSE(IsInterpreter(12));
    EXPECT_FALSE(IsInterpreter(33));
    EXPECT_FALSE(IsInterpreter(34));
    EXPECT_FALSE(IsInterpreter(UINT64_MAX));
}

TEST(ProcessTypes, IsExtensionInterpreted)
{
    EXPECT_TRUE(IsExtensionInterpreted(3, "py"));
    EXPECT_FALSE(IsExtensionInterpreted(3, "PY")) << "case matters";
    EXPECT_FALSE(IsExtensionInterpreted(3, "pyd"));
    EXPECT_TRUE(IsExtensionInterpreted(5, "pyd"));
    EXPECT_TRUE(IsExtensionInterpreted(2, "jar"));
    EXPECT_TRUE(IsExtensionInterpreted(2, "war"));
    EXPECT_FALSE(IsExtensionInterpreted(2, "ja")) << "whole text only";
    EXPECT_FALSE(IsExtensionInterpreted(2, "jars"));
    EXPECT_FALSE(IsExtensionInterpreted(2, ""));
    EXPECT_TRUE(IsExtensionInterpreted(7, "init"));
    EXPECT_TRUE(IsExtensionInterpreted(10, "wsf"));
    EXPECT_TRUE(IsExtensionInterpreted(11, "dll"));
    EXPECT_FALSE(IsExtensionInterpreted(1, "py"));
    EXPECT_FALSE(IsExtensionInterpreted(0, "py"));
    EXPECT_FALSE(IsExtensionInterpreted(0, ""));
    EXPECT_FALSE(IsExtensionInterpreted(12, "so")) << "a row without extensions";
    EXPECT_FALSE(IsExtensionInterpreted(33, "exe"));
    EXPECT_FALSE(IsExtensionInterpreted(34, "py"));
    EXPECT_FALSE(IsExtensionInterpreted(UINT64_MAX, "py"));
    EXPECT_FALSE(IsExtensionInterpreted(3, nullptr));
}

TEST(ProcessTypes, IsOnCommandLine)
{
    uint64_t self = (uint64_t)getpid();
    EXPECT_TRUE(IsOnCommandLine(self, "unit_tests"));
    EXPECT_FALSE(IsOnCommandLine(self, "no-such-text-on-the-command-line"));
    EXPECT_FALSE(IsOnCommandLine(999999999, "unit_tests")) << "no such process";

    // A zombie's command line is empty.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    char stat_path[64];
    snprintf(stat_path, sizeof stat_path, "/proc/%d/stat", (int)child);
    bool zombie = false;
    for (int i = 0; i < 500 && !zombie; i++) {
        FILE* f = fopen(stat_path, "r");
        char state = 0;
        if (f) {
            if (fscanf(f, "%*d (%*[^)]) %c", &state) != 1) state = 0;
            fclose(f);
        }
        zombie = state == 'Z';
        if (!zombie) usleep(2000);
    }
    ASSERT_TRUE(zombie);
    EXPECT_FALSE(IsOnCommandLine((uint64_t)child, ""));
    EXPECT_FALSE(IsOnCommandLine((uint64_t)child, "unit_tests"));
    waitpid(child, nullptr, 0);
}

TEST(TrustedPaths, FragmentsOfTheType)
{
    EXPECT_TRUE(IsTrustedPath(2, "/opt/IBM/IES/apps/x.jar", nullptr));
    EXPECT_FALSE(IsTrustedPath(2, "/opt/ibm/ies/x.jar", nullptr)) << "case-sensitive";
    EXPECT_TRUE(IsTrustedPath(7, "/etc/bash_completion.d/tool", nullptr)) << "shares the list of java";
    EXPECT_TRUE(IsTrustedPath(2, "/data/Mount_HPExstream/x", nullptr)) << "anywhere in the path";
    EXPECT_TRUE(IsTrustedPath(25, "c:\\windows\\temp\\setup.msi", nullptr));
    EXPECT_TRUE(IsTrustedPath(25, "c:\\program files\\quillon\\x.dll", nullptr));
    EXPECT_FALSE(IsTrustedPath(25, "c:\\program files\\other\\x.dll", nullptr));
    EXPECT_FALSE(IsTrustedPath(3, "/opt/IBM/IES/x", nullptr)) << "python is not trusted";
    EXPECT_FALSE(IsTrustedPath(0, "/opt/IBM/IES/x", nullptr));
    EXPECT_FALSE(IsTrustedPath(34, "/opt/IBM/IES/x", nullptr));
    EXPECT_FALSE(IsTrustedPath(2, "", nullptr));
}

TEST(TrustedPaths, LogLines)
{
    bool r;
    EXPECT_EQ(trusted_log(2, "/opt/IBM/IES/apps/x.jar", &r),
              "Checking if path is trusted location\n"
              "\tPath '/opt/IBM/IES/apps/x.jar' does not match trusted path option "
              "'/opt/IBM/WebSphere/AppServer/profiles' | Try next trusted option\n"
              "\tPath '/opt/IBM/IES/apps/x.jar' does not match trusted path option "
              "'/opt/apps/lsam18s/tmp/SMA' | Try next trusted option\n"
              "\tPath '/opt/IBM/IES/apps/x.jar' does not match trusted path option "
              "'/Mount_HPExstream' | Try next trusted option\n"
              "Path '/opt/IBM/IES/apps/x.jar' is trusted\n");
    EXPECT_TRUE(r);

    EXPECT_EQ(trusted_log(8, "/tmp/x", &r),
              "Checking if path is trusted location\n"
              "\tPath '/tmp/x' does not match trusted path option '\\temp\\' | Try next trusted option\n"
              "Path '/tmp/x' is not trusted\n");
    EXPECT_FALSE(r);

    EXPECT_EQ(trusted_log(3, "/opt/IBM/IES/x", &r), "") << "untrusted type: nothing logged";
    EXPECT_FALSE(r);
    EXPECT_EQ(trusted_log(12, "/usr/lib/x.so", &r), "Checking if path is trusted location\n")
        << "prelink has no fragments";
    EXPECT_FALSE(r);
    EXPECT_EQ(trusted_log(2, "", &r), "") << "empty path";
    EXPECT_FALSE(r);
    EXPECT_EQ(trusted_log(0, "/opt/IBM/IES/x", &r), "");
    EXPECT_FALSE(r);
    EXPECT_EQ(trusted_log(34, "/opt/IBM/IES/x", &r), "");
    EXPECT_FALSE(r);
}

TEST(TrustedPaths, LongPathIsCutTo4095Bytes)
{
    std::string path(4090, 'a');
    path += "/opt/IBM/IES";
    EXPECT_FALSE(IsTrustedPath(2, path.c_str(), nullptr)) << "the fragment lies beyond 4095 bytes";
    path = std::string(4083, 'a') + "/opt/IBM/IES";  // exactly 4095 bytes
    EXPECT_TRUE(IsTrustedPath(2, path.c_str(), nullptr));
}

TEST(TrustedPaths, IsPrelink)
{
    EXPECT_TRUE(IsPrelink(12));
    EXPECT_STREQ(ProcessTypes[12].name, "prelink");
    EXPECT_FALSE(IsPrelink(1));
    EXPECT_FALSE(IsPrelink(0));
    EXPECT_FALSE(IsPrelink(7));
    EXPECT_FALSE(IsPrelink(12 + 1024));
}
