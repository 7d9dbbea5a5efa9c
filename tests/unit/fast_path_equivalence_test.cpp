// The fast path's performance work changes how results are computed, never
// what they are: each test runs the new code against the short code it
// replaced (kept here as a reference) or its documented equivalent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/context.h"
#include "base/paths.h"
#include "cache/process_types.h"

namespace {

uint64_t scan_rule_by_rule(ac_decision_ctx* ctx)
{
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++) {
        uint64_t type = ApplyInterpreterRule(ctx, &ScriptInterpreterRules[i]);
        if (type != AC_PROCESS_TYPE_NONE) {
            ctx->nocache = ProcessTypes[type].nocache;
            return type;
        }
    }
    return AC_PROCESS_TYPE_NORMAL;
}

TEST(FastPathEquivalence, InterpreterScanEqualsTheRulesAppliedOneByOne)
{
    std::vector<std::string> names = {
        "", "/", "sh", "/bin/sh", "/usr/bin/python3.11", "/usr/sbin/prelink", "/usr/bin/prelink", "/x/prelink",
        "/a/javac", "/a/.java", "/a/x.java", "/a/java.x", "/a/KB890830.exe", "/a/b.c.d", "/a/...", "/a/bash.",
        "/a/CMD.EXE", "/srv/x/httpd-2", "/ie11-windows6.1", std::string(2000, 'j') + "ava",
        "/d/" + std::string(1100, 'x') + "python"};
    for (const auto& rule : ScriptInterpreterRules) {
        if (rule.name) names.push_back(std::string("/usr/bin/") + rule.name);
        if (rule.fragment)
            for (const char* form : {"/x/pre%spost.ext", "/x/%s", "/x/a.%s"}) {
                char buf[256];
                snprintf(buf, sizeof buf, form, rule.fragment);
                names.push_back(buf);
            }
    }
    for (const std::string& name : names) {
        ac_decision_ctx a{}, b{};
        ac_copy_path(a.processName, name.c_str());
        splitpath(a.processPath, a.processFileName, a.processName);
        memcpy(&b, &a, sizeof a);
        EXPECT_EQ(GetProcessInterpreterType(&b), scan_rule_by_rule(&a)) << name;
        EXPECT_EQ(b.nocache, a.nocache) << name;
    }
}

}  // namespace
