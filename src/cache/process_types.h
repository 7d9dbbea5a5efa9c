// The fixed vocabulary of process types, the ordered rules that classify an
// executable into one of them, the extensions regarded as executable content,
// and the queries over these tables. A process type is named everywhere by its
// row number in ProcessTypes (the process type index); 0 means no type.
#pragma once
#include <cstdint>

struct ac_decision_ctx;

constexpr uint32_t AC_PROCESS_TYPE_COUNT = 34;       // rows 0 (empty) to 33
constexpr uint32_t AC_INTERPRETER_RULE_COUNT = 52;   // row 0 is empty and never examined
constexpr uint32_t AC_EXECUTABLE_EXTENSION_COUNT = 56;

constexpr uint64_t AC_PROCESS_TYPE_NONE = 0;
constexpr uint64_t AC_PROCESS_TYPE_NORMAL = 1;
constexpr uint64_t AC_PROCESS_TYPE_PRELINK = 12;

struct ac_process_type {
    const char* name;
    uint32_t interpreter;  // files it opens are judged as scripts
    uint32_t trusted;      // the trusted-path test applies
    uint32_t nocache;      // a classification into this type is not cached
    const char* const* extensions;
    uint32_t extensionCount;
    const char* const* trustedPaths;
    uint32_t trustedPathCount;
};

enum ac_rule_kind : uint32_t {
    AC_RULE_NONE = 0,
    AC_RULE_DIRECTORY_AND_NAME = 1,  // directory (with its final "/") and whole file name
    AC_RULE_EXACT_NAME = 2,          // whole file name
    AC_RULE_NAME_CONTAINS = 3,       // fragment of the file name without its last extension
};

struct ac_interpreter_rule {
    uint32_t kind;
    const char* directory;  // kind 1
    const char* name;       // kinds 1 and 2
    const char* fragment;   // kind 3
    const char* type;       // a ProcessTypes name
};

extern "C" {
extern const ac_process_type ProcessTypes[AC_PROCESS_TYPE_COUNT];
extern const ac_interpreter_rule ScriptInterpreterRules[AC_INTERPRETER_RULE_COUNT];
extern const char* const executableExtensions[AC_EXECUTABLE_EXTENSION_COUNT];

uint64_t GetProcessTypeId(const ac_interpreter_rule* rule);
uint64_t ApplyInterpreterRule(ac_decision_ctx* ctx, const ac_interpreter_rule* rule);
uint64_t GetProcessInterpreterType(ac_decision_ctx* ctx);
bool IsInterpreter(uint64_t type);
bool IsExtensionInterpreted(uint64_t type, const char* extension);

}
