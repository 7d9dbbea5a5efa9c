// The JSON pull parser alone, every accessor applied to every token. Checked:
// the parse ends (each token consumes text), the depth stays within
// JSON_MAX_DEPTH, tokens stay within the text, a finished parse stays
// finished, and the containers balance when the parse is done.
#include <cstring>
#include <string>

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
    long open = 0;
    bool ok;
    for (size_t tokens = 0; json_has_more(&p);) {
        FUZZ_CHECK(++tokens <= p.input_len + 1);
        const char* before = p.token_end;
        int t = json_next(&p);
        FUZZ_CHECK(p.depth <= JSON_MAX_DEPTH);
        FUZZ_CHECK(p.token_start >= text && p.token_start <= p.token_end && p.token_end < text + p.input_len);
        if (t == JSON_ERROR) {
            FUZZ_CHECK(p.state == JSON_STATE_FAILED && strlen(p.message) + 1 == p.message_len);
            break;
        }
        FUZZ_CHECK(p.token_end > before);
        size_t n;
        const char* raw = json_rawstring(&p, &n);
        FUZZ_CHECK(raw == p.token_start && n == (size_t)(p.token_end - p.token_start));
        if (t == JSON_STRING) {
            FUZZ_CHECK(n >= 2 && raw[0] == '"' && raw[n - 1] == '"');
            (void)json_match(&p, "program"), (void)json_fromhex(&p, &ok), (void)json_topointerx(&p, &ok);
            (void)json_topointer(&p);
        } else if (t == JSON_NUMBER) {
            (void)json_tosize(&p), (void)json_toint(&p), (void)json_tointx(&p);
        } else if (t == JSON_ARRAY_BEGIN || t == JSON_OBJECT_BEGIN) {
            open++;
        } else if (t == JSON_ARRAY_END || t == JSON_OBJECT_END || t == JSON_ARRAY_EMPTY || t == JSON_OBJECT_EMPTY) {
            FUZZ_CHECK(--open >= 0);
        }
    }
    if (p.state == JSON_STATE_DONE) FUZZ_CHECK(open == 0 && p.depth == 0);
    FUZZ_CHECK(json_next(&p) == JSON_ERROR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    parse(text.c_str(), size + 1);
    // The raw bytes: a text without a NUL is refused, one with a NUL ends there.
    parse(reinterpret_cast<const char*>(data), size);
    return 0;
}
