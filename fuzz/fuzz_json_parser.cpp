// The JSON pull parser alone: json_init and json_next over the input, with
// every accessor applied to every token.
//
// Checked beyond the sanitizers: the parse ends (each token moves forward), the
// depth stays within JSON_MAX_DEPTH, tokens stay within the text, and the
// containers returned balance when the parse is done.
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "json/json_parser.h"

namespace {

void parse(const char* text, size_t len)
{
    json_parser p;
    if (json_init(&p, text, len) != 0) {
        FUZZ_CHECK(!json_has_more(&p));
        return;
    }
    const char* const end = text + p.input_len;  // one past the NUL
    long open = 0;
    size_t tokens = 0;
    while (json_has_more(&p)) {
        FUZZ_CHECK(++tokens <= p.input_len + 1);
        const char* before = p.token_end;
        int t = json_next(&p);
        FUZZ_CHECK(p.depth <= JSON_MAX_DEPTH);
        FUZZ_CHECK(p.token_start >= text && p.token_start <= p.token_end && p.token_end < end);
        if (t == JSON_ERROR) {
            FUZZ_CHECK(p.state == JSON_STATE_FAILED && p.message_len >= 1);
            FUZZ_CHECK(strlen(p.message) + 1 == p.message_len);
            break;
        }
        FUZZ_CHECK(p.token_end > before);  // every accepted token consumed text
        size_t n;
        const char* raw = json_rawstring(&p, &n);
        FUZZ_CHECK(raw == p.token_start && n == (size_t)(p.token_end - p.token_start));
        bool ok;
        switch (t) {
        case JSON_STRING:
            FUZZ_CHECK(n >= 2 && raw[0] == '"' && raw[n - 1] == '"');
            (void)json_match(&p, "program");
            (void)json_fromhex(&p, &ok);
            (void)json_topointerx(&p, &ok);
            (void)json_topointer(&p);
            break;
        case JSON_NUMBER:
            (void)json_tosize(&p);
            (void)json_toint(&p);
            (void)json_tointx(&p);
            break;
        case JSON_ARRAY_BEGIN:
        case JSON_OBJECT_BEGIN: open++; break;
        case JSON_ARRAY_END:
        case JSON_OBJECT_END:
        case JSON_ARRAY_EMPTY:
        case JSON_OBJECT_EMPTY: open--; FUZZ_CHECK(open >= 0); break;
        default: break;
        }
    }
    if (p.state == JSON_STATE_DONE) FUZZ_CHECK(open == 0 && p.depth == 0);
    // Once finished, it stays finished.
    FUZZ_CHECK(json_next(&p) == JSON_ERROR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> text(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size);
    text.push_back('\0');
    parse(text.data(), text.size());
    // The raw bytes: a text without a NUL is refused, one with a NUL ends there.
    parse(reinterpret_cast<const char*>(data), size);
    return 0;
}
