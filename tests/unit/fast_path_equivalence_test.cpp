// The fast path's performance work changes how results are computed, never
// what they are: each test runs the new code against the short code it
// replaced (kept here as a reference) or its documented equivalent.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/context.h"
#include "abstraction/counters.h"
#include "cache/drift.h"
#include "cache/object_cache.h"
#include "base/paths.h"
#include "cache/proc_info.h"
#include "cache/process_types.h"
#include "cache/sha256.h"
#include "base/event_record.h"
#include "lua/retrieval_lua.h"
#include "unit_util.h"

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

TEST(FastPathEquivalence, ObjectDigestIsEvpSha256)
{
    EXPECT_EQ(ac_sha256_uses_evp(), EVP_default_properties_is_fips_enabled(nullptr) ? 1 : 0);
    std::mt19937 rng(8);
    for (size_t len = 0; len < 300; len++) {
        std::string text(len, '\0');
        for (char& ch : text) ch = (char)(rng() & 0xFF);
        unsigned char want[EVP_MAX_MD_SIZE], got[32];
        unsigned int want_len = 0;
        ASSERT_EQ(EVP_Digest(text.data(), text.size(), want, &want_len, EVP_sha256(), nullptr), 1);
        ASSERT_EQ(ac_sha256(text.data(), text.size(), got), 32);
        EXPECT_EQ(memcmp(want, got, 32), 0) << "length " << len;
    }
}

}  // namespace
