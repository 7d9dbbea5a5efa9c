// The rule program the engine uploads: kept as the driver's own copy and run
// for an open before its record is built, so that an open no engine rule
// could judge is answered here, without a record, a wake-up or a /proc walk.
//
// The image is the compiler's wire format (offsets below). Instructions:
//   jump or return (opcode 0, flag 0): continue at the word after it plus
//     offset; a landing at or past the procedure's declared count N returns
//     the action landing - N.
//   a test (opcode 1 to 4, operandA a subject, operandB a list slot; opcode 5,
//     operandB a constant slot): the next word runs when the test holds, and
//     is skipped when it does not; flag 1 inverts the test.
// Anything else (an unknown opcode, a slot not stored, a subject that cannot
// be read, an action above NOTIFY, running past the procedure) gives ADVICE:
// the event goes to the engine as if no program were loaded.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace drv {

enum RuleOp : uint32_t {
    kRuleJump = 0,
    kRuleIs = 1,        // the subject equals one of the list's names
    kRuleHas = 2,       // the subject contains one of them
    kRuleEnds = 3,      // the subject ends with one of them
    kRuleBegins = 4,    // the subject begins with one of them
    kRuleFlagsAny = 5,  // the open's flags share a bit with the constant
};

enum RuleSubject : uint32_t {
    kSubjectProgramName = 0,  // the opener's executable file name
    kSubjectProgramPath = 1,  // its whole path (/proc/<pid>/exe)
    kSubjectFilePath = 2,     // the opened file's path
};

enum RuleAction : int { kRuleIgnore = 0, kRuleAllow = 1, kRuleDeny = 2, kRuleError = 3, kRuleAdvice = 4, kRuleNotify = 5 };

constexpr size_t kRuleImageSize = 9472;

// What a program reads of an event. text fills a subject (not terminated);
// it returns false when the subject cannot be read.
struct RuleInput {
    uint32_t flags = 0;
    bool (*text)(void* ctx, uint32_t subject, const char** s, size_t* n) = nullptr;
    void* ctx = nullptr;
    // When set, the flags are read through it, and only by a program that
    // tests them (false: they cannot be read).
    bool (*read_flags)(void* ctx, uint32_t* flags) = nullptr;
};

// Runs the procedure linked to event type on image (kRuleImageSize bytes).
int run_rules(const unsigned char* image, uint32_t type, const RuleInput& in);

// The driver's copy, replaced by each upload: bytes that are not a signed
// program image leave none (returns false).
bool load_rules(const char* bytes, size_t n);
void unload_rules();
// Runs the loaded program (ADVICE when none is loaded).
int judge_by_rules(uint32_t type, const RuleInput& in);

}  // namespace drv
