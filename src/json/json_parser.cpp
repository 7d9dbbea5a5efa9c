#include "json/json_parser.h"

#include <cstring>

namespace {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

inline bool is_number_byte(unsigned char c)
{
    return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

inline bool is_scalar(int t)
{
    return t == JSON_NULL || t == JSON_FALSE || t == JSON_TRUE || t == JSON_NUMBER || t == JSON_STRING;
}

int push_level(json_parser* p, bool array)
{
    if (p->depth >= JSON_MAX_DEPTH)
        return json_bail(p, "Max structure depth reached");
    p->nesting = (p->nesting << 1) | (array ? 1u : 0u);
    ++p->depth;
    return 0;
}

// Closes the innermost container; the state comes from the one below it.
int pop_level(json_parser* p, int code)
{
    if (p->depth == 0)
        return json_bail(p, "Closing bracket without match");
    p->nesting >>= 1;
    --p->depth;
    if (p->depth == 0)
        p->state = JSON_STATE_DONE;
    else
        p->state = (p->nesting & 1) ? JSON_STATE_ARRAY_ITEM : JSON_STATE_OBJECT_ITEM;
    return code;
}

// A value where one is expected: scalars move on to `after`, containers open.
int accept_value(json_parser* p, int t, int after, const char* msg, size_t msg_len)
{
    if (is_scalar(t)) {
        p->state = after;
        return t;
    }
    if (t == JSON_ARRAY_BEGIN) {
        p->state = JSON_STATE_ARRAY_OPEN;
        return t;
    }
    if (t == JSON_OBJECT_BEGIN) {
        p->state = JSON_STATE_OBJECT_OPEN;
        return t;
    }
    return json_bailn(p, msg, msg_len);
}

#define ACCEPT_VALUE(p, t, after, lit) accept_value((p), (t), (after), "" lit, sizeof(lit))

int next_token(json_parser* p)
{
    if (p->state < 0)
        return JSON_ERROR;
    const int t = json_lex(p);
    if (t < 0)
        return t;

    switch (p->state) {
    case JSON_STATE_DONE:
        return json_bail(p, "Done");

    case JSON_STATE_START:
        return ACCEPT_VALUE(p, t, JSON_STATE_DONE, "Expected a value");

    case JSON_STATE_ARRAY_OPEN:
        // The "[" returned last time becomes a level only now: a container
        // beyond the limit is refused at the token that follows it.
        if (push_level(p, true) < 0)
            return JSON_ERROR;
        if (t == JSON_ARRAY_END)
            return pop_level(p, JSON_ARRAY_EMPTY);
        return ACCEPT_VALUE(p, t, JSON_STATE_ARRAY_ITEM, "Expected value or ']'");

    case JSON_STATE_ARRAY_COMMA:
        return ACCEPT_VALUE(p, t, JSON_STATE_ARRAY_ITEM, "Expected array value");

    case JSON_STATE_ARRAY_ITEM:
        if (t == JSON_COMMA) {
            p->state = JSON_STATE_ARRAY_COMMA;
            return JSON_ARRAY_COMMA;
        }
        if (t == JSON_ARRAY_END)
            return pop_level(p, JSON_ARRAY_END);
        return json_bail(p, "Expected ',' or ']'");

    case JSON_STATE_OBJECT_OPEN:
        if (push_level(p, false) < 0)
            return JSON_ERROR;
        if (t == JSON_STRING) {
            p->state = JSON_STATE_OBJECT_KEY;
            return t;
        }
        if (t == JSON_OBJECT_END)
            return pop_level(p, JSON_OBJECT_EMPTY);
        return json_bail(p, "Expected key or '}'");

    case JSON_STATE_OBJECT_COMMA:
        if (t == JSON_STRING) {
            p->state = JSON_STATE_OBJECT_KEY;
            return t;
        }
        return json_bail(p, "Expected key");

    case JSON_STATE_OBJECT_KEY:
        if (t == JSON_COLON) {
            p->state = JSON_STATE_OBJECT_COLON;
            return t;
        }
        return json_bail(p, "Expected ':'");

    case JSON_STATE_OBJECT_COLON:
        return ACCEPT_VALUE(p, t, JSON_STATE_OBJECT_ITEM, "Expected object value");

    case JSON_STATE_OBJECT_ITEM:
        if (t == JSON_COMMA) {
            p->state = JSON_STATE_OBJECT_COMMA;
            return JSON_OBJECT_COMMA;
        }
        if (t == JSON_OBJECT_END)
            return pop_level(p, JSON_OBJECT_END);
        return json_bail(p, "Expected ',' or '}'");

    default:
        return JSON_ERROR;
    }
}

// Content of the last token when it is a string: between its quotes.
bool string_content(const json_parser* p, const char** s, size_t* n)
{
    size_t len;
    const char* raw = json_rawstring(p, &len);
    if (len < 2 || raw[0] != '"')
        return false;
    *s = raw + 1;
    *n = len - 2;
    return true;
}

} // namespace

extern "C" {

int json_init(json_parser* p, const char* input, size_t len)
{
    p->message = "";
    p->input = input;
    p->message_len = 1;
    p->input_len = len;
    p->nesting = 0;
    p->depth = 0;
    p->state = JSON_STATE_START;
    p->token_end = input;
    p->token_start = input;
    p->last_token = JSON_NONE;
    if (len > 0 && input[len - 1] == '\0')
        return 0;
    const void* nul = len > 0 ? std::memchr(input, '\0', len) : nullptr;
    if (!nul)
        return json_bail(p, "Message is not null-terminated");
    p->input_len = static_cast<const char*>(nul) - input + 1;
    return 0;
}

int json_lex(json_parser* p)
{
    const char* s = p->token_end;
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r')
        ++s;
    p->token_end = s;

    const char* e = s + 1;
    int code;
    switch (static_cast<unsigned char>(*s)) {
    case '\0': return JSON_END;
    case ',': code = JSON_COMMA; break;
    case ':': code = JSON_COLON; break;
    case '[': code = JSON_ARRAY_BEGIN; break;
    case ']': code = JSON_ARRAY_END; break;
    case '{': code = JSON_OBJECT_BEGIN; break;
    case '}': code = JSON_OBJECT_END; break;
    // strncmp stops at the NUL, so a short tail is never overrun.
    case 't':
        if (std::strncmp(s, "true", 4) != 0)
            return json_bail(p, "Expected value");
        e = s + 4;
        code = JSON_TRUE;
        break;
    case 'f':
        if (std::strncmp(s, "false", 5) != 0)
            return json_bail(p, "Expected value");
        e = s + 5;
        code = JSON_FALSE;
        break;
    case 'n':
        if (std::strncmp(s, "null", 4) != 0)
            return json_bail(p, "Expected value");
        e = s + 4;
        code = JSON_NULL;
        break;
    case '"':
        for (;; ++e) {
            if (*e == '\0')
                return json_bail(p, "Truncated string");
            if (*e == '\\') {
                if (*++e == '\0')
                    return json_bail(p, "Truncated string");
            } else if (*e == '"') {
                ++e;
                break;
            }
        }
        code = JSON_STRING;
        break;
    case '-':
        if (!is_digit(static_cast<unsigned char>(s[1])))
            return json_bail(p, "Negative without number");
        [[fallthrough]];
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        e = *s == '-' ? s + 1 : s;
        if (e[0] == '0' && is_digit(static_cast<unsigned char>(e[1])))
            return json_bail(p, "Leading zero");
        // The number's form is left to the converter.
        while (is_number_byte(static_cast<unsigned char>(*e)))
            ++e;
        code = JSON_NUMBER;
        break;
    default:
        return json_bail(p, "Expected value");
    }
    p->token_start = s;
    p->token_end = e;
    return code;
}

int json_next(json_parser* p)
{
    const int code = next_token(p);
    p->last_token = code;
    return code;
}

bool json_has_more(const json_parser* p) { return p->state > 0; }

const char* json_rawstring(const json_parser* p, size_t* len)
{
    *len = static_cast<size_t>(p->token_end - p->token_start);
    return p->token_start;
}

int json_bailn(json_parser* p, const char* msg, size_t len)
{
    p->state = JSON_STATE_FAILED;
    p->message = msg;
    p->message_len = len;
    return JSON_ERROR;
}

bool json_match(const json_parser* p, const char* text)
{
    const char* s;
    size_t n;
    if (!string_content(p, &s, &n))
        return false;
    return std::strlen(text) == n && std::memcmp(s, text, n) == 0;
}

uint64_t json_tosize(const json_parser* p)
{
    size_t len;
    const char* s = json_rawstring(p, &len);
    if (len == 0 || !is_digit(static_cast<unsigned char>(s[0])))
        return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = s[i];
        if (c == '.')
            return v;
        if (!is_digit(c))
            return 0;
        v = v * 10 + (c - '0');
    }
    return v;
}

uint64_t json_fromhex(const json_parser* p, bool* ok)
{
    const char* s;
    size_t n;
    bool good = string_content(p, &s, &n) && n <= 16;
    uint64_t v = 0;
    for (size_t i = 0; good && i < n; ++i) {
        const unsigned char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else {
            good = false;
            break;
        }
        v = (v << 4) | d;
    }
    if (ok)
        *ok = good;
    return good ? v : 0;
}

void* json_topointer(const json_parser* p)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(json_fromhex(p, nullptr)));
}

void* json_topointerx(const json_parser* p, bool* ok)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(json_fromhex(p, ok)));
}

int64_t json_toint(const json_parser*) { return 0; }

int64_t json_tointx(const json_parser*) { return 0; }

} // extern "C"
