// Process types, interpreter rules, trusted paths and prelink. The indexed
// scan against the rules one by one: fast_path_equivalence_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

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

}  // namespace

TEST(ProcessTypes, ClassificationByRuleKind)
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

    const std::string within = std::string(1019, 'a') + "bash", beyond = std::string(1019, 'a') + "abash";
    const struct { const char* path; uint64_t type; const char* why; } cases[] = {
        {"C:/Windows/System32/powershell.exe", 8, "exact name"}, {"/x/cmd.exe", 9, "exact name"},
        {"/tmp/windows-kb890830-v5.exe", 29, "fragment"}, {"/usr/bin/java", 2, "fragment"},
        {"/usr/bin/python3.9", 3, "fragment"}, {"/usr/sbin/apache2", 5, "fragment"}, {"/bin/ksh93", 7, "fragment"},
        {"/usr/sbin/prelink", 12, "directory and name"},
        {"/usr/bin/prelink", 1, "the prelink rows require the directory"},
        {"/usr/sbin//prelink", 1, "directory text compared as it is"}, {"/bin/zsh", 1, "no rule"},
        {"/opt/sma_lsam/bin/run", 1, "fragments are sought in the file name only"},
        {"/usr/bin/Python3", 1, "case-sensitive"}, {"/bin/sh.exe", 1, "an exact name is whole"},
        {"/home/u/.bashrc", 7, "a leading dot is no extension"},
        {"/usr/bin/tool.python", 1, "the last extension is cut before the search"},
        {"/usr/bin/python.tool.x", 3, "only the last extension is cut"},
        {"/usr/bin/perl-bash", 6, "the first matching rule wins"}, {"/usr/bin/javaphp", 2, "the first rule wins"},
        {"python", 3, "no directory"}, {"/usr/bin/", 1, "no file name"}, {"", 1, "empty"},
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
        {AC_RULE_EXACT_NAME, nullptr, "tool", nullptr, "nosuchtype"},       // unknown type
        {4, "/usr/bin/", "tool", "tool", "perl"},                           // unknown kind
        {AC_RULE_DIRECTORY_AND_NAME, "/usr/bin", "tool", nullptr, "perl"},  // the directory keeps its "/"
        ScriptInterpreterRules[0],
    };
    for (const auto& rule : rules) EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &rule), 0u) << rule.kind;
    ac_interpreter_rule dir{AC_RULE_DIRECTORY_AND_NAME, "/usr/bin/", "tool", nullptr, "perl"};
    EXPECT_EQ(ApplyInterpreterRule(&e.ctx, &dir), 6u);
}

TEST(ProcessTypes, InterpreterAndExtensionBoundaries)
{
    for (uint64_t t : {2ul, 7ul, 11ul, 0ul, 1ul, 12ul, 33ul, 34ul, UINT64_MAX})
        EXPECT_EQ(IsInterpreter(t), t == 2 || t == 7 || t == 11) << t;
    const std::tuple<uint64_t, const char*, bool> cases[] = {
        {3, "py", true}, {3, "PY", false}, {3, "pyd", false}, {5, "pyd", true}, {2, "ja", false},
        {2, "jars", false}, {11, "dll", true}, {0, "py", false}, {33, "exe", false}, {34, "py", false},
        {UINT64_MAX, "py", false}, {3, nullptr, false}};
    for (auto [type, ext, want] : cases) EXPECT_EQ(IsExtensionInterpreted(type, ext), want) << type << " " << !ext;
}

TEST(TrustedPaths, FragmentsLogLinesAndPrelink)
{
    const std::string cut = std::string(4090, 'a') + "/opt/IBM/IES", whole = std::string(4083, 'a') + "/opt/IBM/IES";
    const struct { uint64_t type; const char* path; bool want; } cases[] = {
        {2, "/opt/IBM/IES/apps/x.jar", true}, {2, "/opt/ibm/ies/x.jar", false},  // case-sensitive
        {2, "/data/Mount_HPExstream/x", true},                                     // anywhere in the path
        {25, "c:\\program files\\quillon\\x.dll", true}, {25, "c:\\program files\\other\\x.dll", false},
        {3, "/opt/IBM/IES/x", false},  // python is not trusted
        {0, "/opt/IBM/IES/x", false},  {34, "/opt/IBM/IES/x", false}, {2, "", false}, {2, nullptr, false},
        {2, cut.c_str(), false},   // the fragment lies beyond 4095 bytes
        {2, whole.c_str(), true},  // exactly 4095 bytes
    };
    for (const auto& c : cases) {
        MemLog log;
        EXPECT_EQ(IsTrustedPath(c.type, c.path, log.f), c.want) << c.type << " " << c.path;
        const bool checked = c.path && c.path[0] && (c.type == 2 || c.type == 25);
        EXPECT_EQ(log.text().rfind("Checking if path is trusted location\n", 0) == 0, checked) << c.path;
    }
    MemLog log;
    IsTrustedPath(8, "/tmp/x", log.f);
    EXPECT_EQ(log.text(), "Checking if path is trusted location\n"
                          "\tPath '/tmp/x' does not match trusted path option '\\temp\\' | Try next trusted option\n"
                          "Path '/tmp/x' is not trusted\n");
    MemLog log2;
    IsTrustedPath(2, "/x/Mount_HPExstream/y", log2.f);
    EXPECT_NE(log2.text().find("Path '/x/Mount_HPExstream/y' is trusted\n"), std::string::npos);
    MemLog log3;
    EXPECT_FALSE(IsTrustedPath(12, "/usr/lib/x.so", log3.f));
    EXPECT_EQ(log3.text(), "Checking if path is trusted location\n") << "prelink has no fragments";
    EXPECT_TRUE(IsPrelink(12));
    for (uint64_t t : {0, 1, 7, 12 + 1024}) EXPECT_FALSE(IsPrelink(t)) << t;
}

TEST(ProcInfo, CommandLineReadThroughDescriptorZero)
{
    const int saved = dup(0);
    close(0);  // the reader's open gets descriptor 0, as in a daemon without standard input
    EXPECT_TRUE(IsOnCommandLine((uint64_t)getpid(), "unit_tests"));
    dup2(saved, 0), close(saved);
}
