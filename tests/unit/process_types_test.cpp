// Process types, interpreter rules, trusted paths and prelink.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/context.h"
#include "base/paths.h"
#include "cache/proc_info.h"
#include "cache/process_types.h"
#include "cache/trusted_paths.h"
#include "unit_util.h"

namespace {

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

uint64_t apply(uint32_t rule, const char* path)
{
    exe_ctx e(path);
    return ApplyInterpreterRule(&e.ctx, &ScriptInterpreterRules[rule]);
}

}  // namespace

// One executable per rule, each matched first by that rule. Rows 2 and 51 are
// shadowed by their identical twins and row 44 ("lighttpd") by row 43
// ("httpd"): they are applied on their own.
TEST(ProcessTypes, EveryRuleClassifiesItsExecutable)
{
    ASSERT_EQ(AC_INTERPRETER_RULE_COUNT, 52u);
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++)
        EXPECT_NE(GetProcessTypeId(&ScriptInterpreterRules[i]), 0u) << "rule " << i << ": its type exists";
    ac_interpreter_rule r{AC_RULE_EXACT_NAME, nullptr, "x", nullptr, "shell"};
    EXPECT_EQ(GetProcessTypeId(&r), 7u);
    for (const char* name : {"Shell", "shel", "nosuchtype"}) {
        r.type = name;
        EXPECT_EQ(GetProcessTypeId(&r), 0u) << name;
    }

    const struct {
        uint32_t rule;
        const char* path;
        uint64_t type;
    } samples[] = {
        {1, "C:/Windows/System32/powershell.exe", 8}, {3, "/x/powershell_ise.exe", 8}, {4, "/x/cmd.exe", 9},
        {5, "/x/cscript.exe", 10}, {6, "/x/wscript.exe", 10}, {7, "/x/mscorsvw.exe", 13},
        {8, "/x/tiworker.exe", 31}, {9, "/x/wmiprvse.exe", 16}, {10, "/x/spoolsv.exe", 14},
        {11, "/x/trustedinstaller.exe", 24}, {12, "/x/RemoteFXvGPUDisablement.exe", 24},
        {13, "/x/updateplatform.exe", 24}, {14, "/x/csc.exe", 24}, {15, "/x/msiexec.exe", 25},
        {16, "/x/mpsigstub.exe", 26}, {17, "/x/sdiagnhost.exe", 17}, {18, "/x/msmpeng.exe", 27},
        {19, "/x/wuauclt.exe", 27}, {20, "/x/cleanmgr.exe", 19}, {21, "/x/mrt.exe", 22},
        {22, "/x/patch.exe", 15}, {23, "/x/dism.exe", 20}, {24, "/x/taskhostw.exe", 30},
        {25, "/x/svchost.exe", 30}, {26, "/x/poqexec.exe", 23}, {27, "/bin/sh", 7},
        {28, "/x/sihclient.exe", 11}, {29, "/x/dfsrs.exe", 32}, {30, "/x/processexplorer.exe", 33},
        {31, "/x/aspensplash.exe", 33}, {32, "/x/iqtask.exe", 33}, {33, "/tmp/windows-kb2901983-x64.exe", 28},
        {34, "/tmp/windows-kb890830-v5.exe", 29}, {35, "/tmp/mpam-fe.exe", 18},
        {36, "/tmp/ie11-windows6.1-kb.exe", 21}, {37, "/usr/bin/java", 2}, {38, "/opt/agent/sma_lsam_run", 2},
        {39, "/usr/bin/python3.9", 3}, {40, "/usr/bin/php8.2", 4}, {41, "/usr/sbin/nginx", 5},
        {42, "/usr/sbin/apache2", 5}, {43, "/usr/sbin/httpd", 5}, {45, "/usr/bin/perl5.36", 6},
        {46, "/bin/bash", 7}, {47, "/bin/dash", 7}, {48, "/bin/tcsh", 7}, {49, "/bin/ksh93", 7},
        {50, "/usr/sbin/prelink", 12},
    };
    for (const auto& s : samples) {
        SCOPED_TRACE(s.path);
        EXPECT_EQ(first_rule(s.path), s.rule);
        EXPECT_EQ(classify(s.path), s.type);
        EXPECT_EQ(apply(s.rule, s.path), s.type);
    }
    EXPECT_EQ(apply(2, "/x/powershell.exe"), 8u);
    EXPECT_EQ(apply(51, "/usr/sbin/prelink"), 12u);
    EXPECT_EQ(apply(44, "/usr/sbin/lighttpd"), 5u);
    EXPECT_EQ(first_rule("/usr/sbin/lighttpd"), 43u);
}

TEST(ProcessTypes, ClassificationEdgeCases)
{
    const std::string within = std::string(1019, 'a') + "bash", beyond = std::string(1019, 'a') + "abash";
    const struct {
        const char* path;
        uint64_t type;
        const char* why;
    } cases[] = {
        {"/usr/bin/pythonista", 3, "fragment"},
        {"/usr/bin/prelink", 1, "the prelink rows require the directory"},
        {"/usr/sbin//prelink", 1, "directory text compared as it is"},
        {"/bin/zsh", 1, "no rule"},
        {"/bin/rbash", 7, "fragment"},
        {"/usr/bin/javaw", 2, "fragment"},
        {"/usr/lib/jvm/bin/java", 2, "fragment"},
        {"/opt/sma_lsam/bin/run", 1, "fragments are sought in the file name only"},
        {"/usr/bin/Python3", 1, "case-sensitive"},
        {"/x/PowerShell.exe", 1, "case-sensitive"},
        {"/bin/sh.exe", 1, "row 27 wants the exact name"},
        {"/bin/shell", 1, "exact name"},
        {"/home/u/.bashrc", 7, "a leading dot is no extension"},
        {"/usr/bin/tool.python", 1, "the last extension is cut before the search"},
        {"/usr/bin/python.tool.x", 3, "only the last extension is cut"},
        {"/usr/bin/perl-bash", 6, "the first matching rule wins"},
        {"/usr/bin/javaphp", 2, "the first matching rule wins"},
        {"python", 3, "no directory"},
        {"/usr/bin/", 1, "no file name"},
        {"", 1, "empty"},
        {within.c_str(), 7, "fragment within the first 1023 bytes"},
        {beyond.c_str(), 1, "fragment beyond the first 1023 bytes"},
    };
    for (const auto& c : cases) EXPECT_EQ(classify(c.path), c.type) << c.path << ": " << c.why;

    // A match sets nocache from its row; a miss leaves it.
    for (auto [path, nocache] : {std::make_pair("/usr/bin/perl", 0u), std::make_pair("/bin/zsh", 7u)}) {
        exe_ctx e(path);
        e.ctx.nocache = 7;
        GetProcessInterpreterType(&e.ctx);
        EXPECT_EQ(e.ctx.nocache, nocache) << path;
    }

    exe_ctx e("/usr/bin/tool");
    const ac_interpreter_rule rules[] = {
        {AC_RULE_EXACT_NAME, nullptr, "tool", nullptr, "nosuchtype"},  // unknown type
        {4, "/usr/bin/", "tool", "tool", "perl"},                      // unknown kind
        {AC_RULE_DIRECTORY_AND_NAME, "/usr/bin", "tool", nullptr, "perl"},  // directory keeps its "/"
    };
    for (const auto& r : rules) EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &r), 0u) << r.kind;
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &ScriptInterpreterRules[0]), 0u);
    ac_interpreter_rule dir{AC_RULE_DIRECTORY_AND_NAME, "/usr/bin/", "tool", nullptr, "perl"};
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &dir), 6u);
}

TEST(ProcessTypes, InterpreterAndExtensionBoundaries)
{
    for (uint64_t t : {2, 7, 11}) EXPECT_TRUE(IsInterpreter(t)) << t;
    for (uint64_t t : {0ul, 1ul, 12ul, 33ul, 34ul, UINT64_MAX}) EXPECT_FALSE(IsInterpreter(t)) << t;

    const struct {
        uint64_t type;
        const char* ext;
        bool want;
    } cases[] = {
        {3, "py", true},     {3, "PY", false},  {3, "pyd", false},  {5, "pyd", true},   {2, "jar", true},
        {2, "war", true},    {2, "ja", false},  {2, "jars", false}, {2, "", false},     {7, "init", true},
        {10, "wsf", true},   {11, "dll", true}, {1, "py", false},   {0, "py", false},   {0, "", false},
        {12, "so", false},   {33, "exe", false}, {34, "py", false}, {UINT64_MAX, "py", false},
        {3, nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsExtensionInterpreted(c.type, c.ext), c.want) << c.type << " " << (c.ext ? c.ext : "(null)");
}

// Other processes are compared with the former reader in fast_path_equivalence_test.cpp.
TEST(ProcessTypes, IsOnCommandLineOfSelfAndOfAZombie)
{
    EXPECT_TRUE(IsOnCommandLine((uint64_t)getpid(), "unit_tests"));
    EXPECT_FALSE(IsOnCommandLine((uint64_t)getpid(), "no-such-text-on-the-command-line"));
    // A zombie's command line is empty.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, (id_t)child, &info, WEXITED | WNOWAIT), 0);  // exited, not reaped
    EXPECT_FALSE(IsOnCommandLine((uint64_t)child, ""));
    EXPECT_FALSE(IsOnCommandLine((uint64_t)child, "unit_tests"));
    waitpid(child, nullptr, 0);
}

TEST(TrustedPaths, FragmentsLogLinesAndPrelink)
{
    const std::string cut = std::string(4090, 'a') + "/opt/IBM/IES", whole = std::string(4083, 'a') + "/opt/IBM/IES";
    const struct {
        uint64_t type;
        const char* path;
        bool want;
    } cases[] = {
        {2, "/opt/IBM/IES/apps/x.jar", true},
        {2, "/opt/ibm/ies/x.jar", false},  // case-sensitive
        {7, "/etc/bash_completion.d/tool", true},
        {2, "/data/Mount_HPExstream/x", true},  // anywhere in the path
        {25, "c:\\windows\\temp\\setup.msi", true},
        {25, "c:\\program files\\quillon\\x.dll", true},
        {25, "c:\\program files\\other\\x.dll", false},
        {3, "/opt/IBM/IES/x", false},  // python is not trusted
        {0, "/opt/IBM/IES/x", false},
        {34, "/opt/IBM/IES/x", false},
        {2, "", false},
        {2, cut.c_str(), false},   // the fragment lies beyond 4095 bytes
        {2, whole.c_str(), true},  // exactly 4095 bytes
    };
    for (const auto& c : cases) EXPECT_EQ(IsTrustedPath(c.type, c.path, nullptr), c.want) << c.type << " " << c.path;

    auto logged = [](uint64_t type, const char* path, bool want) {
        MemLog log;
        EXPECT_EQ(IsTrustedPath(type, path, log.f), want) << type << " " << path;
        return log.text();
    };
    EXPECT_EQ(logged(2, "/opt/IBM/IES/apps/x.jar", true),
              "Checking if path is trusted location\n"
              "\tPath '/opt/IBM/IES/apps/x.jar' does not match trusted path option "
              "'/opt/IBM/WebSphere/AppServer/profiles' | Try next trusted option\n"
              "\tPath '/opt/IBM/IES/apps/x.jar' does not match trusted path option "
              "'/opt/apps/lsam18s/tmp/SMA' | Try next trusted option\n"
              "\tPath '/opt/IBM/IES/apps/x.jar' does not match trusted path option "
              "'/Mount_HPExstream' | Try next trusted option\n"
              "Path '/opt/IBM/IES/apps/x.jar' is trusted\n");
    EXPECT_EQ(logged(8, "/tmp/x", false),
              "Checking if path is trusted location\n"
              "\tPath '/tmp/x' does not match trusted path option '\\temp\\' | Try next trusted option\n"
              "Path '/tmp/x' is not trusted\n");
    EXPECT_EQ(logged(12, "/usr/lib/x.so", false), "Checking if path is trusted location\n")
        << "prelink has no fragments";
    // Untrusted type, empty path, no type, past the table: nothing logged.
    EXPECT_EQ(logged(3, "/opt/IBM/IES/x", false) + logged(2, "", false) + logged(0, "/opt/IBM/IES/x", false) +
                  logged(34, "/opt/IBM/IES/x", false),
              "");

    EXPECT_TRUE(IsPrelink(12));
    for (uint64_t t : {0, 1, 7, 12 + 1024}) EXPECT_FALSE(IsPrelink(t)) << t;
}
