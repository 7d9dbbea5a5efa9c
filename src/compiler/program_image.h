// The rule program image: the byte layout the driver executes, its slot sizes
// and every limit of the compiler. This is a wire format: the offsets below
// are fixed by the driver, integers are little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the image is little-endian");

constexpr size_t ACC_IMAGE_SIZE = 9472;
constexpr size_t ACC_MAGIC_SIZE = 9;  // "program" in double quotes: a JSON string token
constexpr char ACC_MAGIC[ACC_MAGIC_SIZE + 1] = "\"program\"";

constexpr uint32_t ACC_CONSTANT_SLOTS = 256;
constexpr uint32_t ACC_RESERVED_CONSTANTS = 8;  // slots 0..7, never pooled after clear
constexpr uint32_t ACC_SUFFIX_LIST_SLOTS = 3;
constexpr size_t ACC_SUFFIX_LIST_SIZE = 1024;
constexpr uint32_t ACC_SIEVE_SLOTS = 2;
constexpr uint32_t ACC_EVENT_LINKS = 50;  // event types 0..49
constexpr uint32_t ACC_CODE_WORDS = 1024;

constexpr uint32_t ACC_SIEVE_DEPTH = 64;  // character positions a sieve can cover
constexpr uint32_t ACC_MAX_JUMP = 4095;

// The actions a rule program returns.
enum acc_action : uint32_t {
    ACC_ACTION_IGNORE = 0,
    ACC_ACTION_ALLOW = 1,
    ACC_ACTION_DENY = 2,
    ACC_ACTION_ERROR = 3,
    ACC_ACTION_ADVICE = 4,
    ACC_ACTION_NOTIFY = 5,
};
constexpr uint32_t ACC_MAX_ACTION = ACC_ACTION_NOTIFY;
constexpr uint32_t ACC_DEFAULT_ACTION = ACC_ACTION_ADVICE;

// Signature block: a mark byte, ten untouched bytes, the CRC (unaligned), a zero.
constexpr size_t ACC_GUID_OFFSET = 16;
constexpr size_t ACC_GUID_SIZE = 16;
constexpr uint8_t ACC_SIGN_MARK = 0xAC;
constexpr size_t ACC_SIGN_CRC_AT = 11;  // within the block: image bytes 27..30
constexpr size_t ACC_SIGN_END_AT = 15;
// The trailer repeats the signature block over the last four code words, so a
// signed program can use at most 1020 of them.
constexpr size_t ACC_TRAILER_OFFSET = ACC_IMAGE_SIZE - ACC_GUID_SIZE;

#pragma pack(push, 1)

// A sieve: per character position, which character classes (byte & 31) occur
// and which end a pattern (bit cleared). Stored as depth d, then d end masks,
// then d presence masks, so the record is 4 + 8·d bytes.
struct acc_sieve {
    uint32_t depth;
    uint32_t masks[2 * ACC_SIEVE_DEPTH];
};

struct acc_program {
    char magic[ACC_MAGIC_SIZE];
    uint8_t zero[7];
    uint8_t guid[ACC_GUID_SIZE];
    uint32_t codeCount;
    uint32_t constantCount;
    uint32_t suffixListCount;
    uint32_t sieveCount;
    uint32_t constants[ACC_CONSTANT_SLOTS];
    uint8_t suffixLists[ACC_SUFFIX_LIST_SLOTS][ACC_SUFFIX_LIST_SIZE];
    uint8_t sieves[ACC_SIEVE_SLOTS][sizeof(acc_sieve)];
    uint32_t eventLinks[ACC_EVENT_LINKS];
    uint32_t code[ACC_CODE_WORDS];
};

#pragma pack(pop)

constexpr size_t ACC_SIEVE_SIZE = sizeof(acc_sieve);
static_assert(ACC_SIEVE_SIZE == 516, "a sieve slot is 516 bytes");
static_assert(sizeof(acc_program) == ACC_IMAGE_SIZE, "image size");
static_assert(offsetof(acc_program, guid) == ACC_GUID_OFFSET, "guid offset");
static_assert(offsetof(acc_program, codeCount) == 32, "codeCount offset");
static_assert(offsetof(acc_program, constantCount) == 36, "constantCount offset");
static_assert(offsetof(acc_program, suffixListCount) == 40, "suffixListCount offset");
static_assert(offsetof(acc_program, sieveCount) == 44, "sieveCount offset");
static_assert(offsetof(acc_program, constants) == 48, "constants offset");
static_assert(offsetof(acc_program, suffixLists) == 1072, "suffixLists offset");
static_assert(offsetof(acc_program, sieves) == 4144, "sieves offset");
static_assert(offsetof(acc_program, eventLinks) == 5176, "eventLinks offset");
static_assert(offsetof(acc_program, code) == 5376, "code offset");
static_assert(offsetof(acc_program, code) + 4 * (ACC_CODE_WORDS - 4) == ACC_TRAILER_OFFSET, "trailer offset");
