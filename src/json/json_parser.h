// JSON pull parser: scans a NUL-terminated text in place and hands out one
// token at a time. Nothing is allocated or copied; values are converted by
// the caller from the raw token bytes.
#pragma once
#include <cstddef>
#include <cstdint>

// Codes returned by json_next (and, where noted, by the scanner json_lex).
enum json_token {
    JSON_ERROR = -1,
    JSON_NULL = 0,
    JSON_NONE = 1,           // last token before the first call
    JSON_FALSE = 2,
    JSON_TRUE = 3,
    JSON_NUMBER = 4,
    JSON_STRING = 5,         // a value, or a key inside an object
    JSON_COMMA = 6,          // scanner only
    JSON_ARRAY_COMMA = 7,
    JSON_OBJECT_COMMA = 8,
    JSON_COLON = 9,
    JSON_ARRAY_BEGIN = 10,
    JSON_ARRAY_END = 11,     // after an element; the scanner's code for any "]"
    JSON_ARRAY_EMPTY = 12,
    JSON_OBJECT_BEGIN = 13,
    JSON_OBJECT_END = 14,    // after a member; the scanner's code for any "}"
    JSON_OBJECT_EMPTY = 15,
    JSON_END = 18,           // scanner only: the terminating NUL
};

enum json_state {
    JSON_STATE_FAILED = -1,
    JSON_STATE_DONE = 0,          // the top-level value is complete
    JSON_STATE_START = 1,         // expecting the top-level value
    JSON_STATE_ARRAY_OPEN = 2,    // just after "["
    JSON_STATE_ARRAY_COMMA = 3,   // after a comma in an array
    JSON_STATE_ARRAY_ITEM = 4,    // after an array element
    JSON_STATE_OBJECT_OPEN = 5,   // just after "{"
    JSON_STATE_OBJECT_COMMA = 6,  // after a comma in an object
    JSON_STATE_OBJECT_KEY = 7,    // after a key
    JSON_STATE_OBJECT_COLON = 8,  // after a colon
    JSON_STATE_OBJECT_ITEM = 9,   // after a member's value
};

enum { JSON_MAX_DEPTH = 64 };

// One parse of one text; usually lives on the caller's stack.
struct json_parser {
    const char* message;      // "" until an error
    const char* input;
    uint64_t message_len;     // including the NUL
    uint64_t input_len;       // up to and including the first NUL
    uint64_t nesting;         // open containers, newest in bit 0: 1 array, 0 object
    uint32_t depth;           // number of open containers, 0..64
    int32_t state;            // enum json_state
    const char* token_end;    // end of the last token, or start of the next after white space
    const char* token_start;  // start of the last token
    int32_t last_token;       // last code returned by json_next
};

extern "C" {
// len counts the buffer including a NUL; 0 or -1 ("Message is not null-terminated").
int json_init(json_parser* p, const char* input, size_t len);
// Scanner: one raw token from the token end; -1 with the parser failed.
int json_lex(json_parser* p);
// Parser: the next token code, grammar checked.
int json_next(json_parser* p);
bool json_has_more(const json_parser* p);
// Raw bytes of the last token (a string keeps both quotes).
const char* json_rawstring(const json_parser* p, size_t* len);
// Fails the parse with msg (len includes its NUL); returns -1.
int json_bailn(json_parser* p, const char* msg, size_t len);
// The last string token's content equals text, escapes left as written.
bool json_match(const json_parser* p, const char* text);
uint64_t json_tosize(const json_parser* p);
// The last string token's content as at most 16 hex digits; ok may be null.
uint64_t json_fromhex(const json_parser* p, bool* ok);
void* json_topointer(const json_parser* p);
void* json_topointerx(const json_parser* p, bool* ok);
int64_t json_toint(const json_parser* p);
int64_t json_tointx(const json_parser* p);
}

// Fails with a literal message.
#define json_bail(p, lit) json_bailn((p), "" lit, sizeof(lit))
