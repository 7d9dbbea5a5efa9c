// The JSON parser's tokens, every message with its positions, and its final
// states; what decode makes of them is in test_json_decode.lua.
#include "json/json_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using V = std::vector<int>;

// Every code json_next returns for text, a final -1 included.
V Tokens(const std::string& text)
{
    json_parser p;
    json_init(&p, text.c_str(), text.size() + 1);
    V out;
    while (json_has_more(&p)) out.push_back(json_next(&p));
    return out;
}

// "message start end" of the failure (offsets), or "ok".
std::string Failure(const std::string& text)
{
    json_parser p;
    json_init(&p, text.c_str(), text.size() + 1);
    while (json_has_more(&p)) json_next(&p);
    if (p.state != JSON_STATE_FAILED) return "ok";
    EXPECT_EQ(std::strlen(p.message) + 1, p.message_len);
    EXPECT_EQ(JSON_ERROR, p.last_token);
    return std::string(p.message) + " " + std::to_string(p.token_start - p.input) + " " +
           std::to_string(p.token_end - p.input);
}

// Parser standing on the first token of text (which must outlive it).
struct First {
    explicit First(const char* text)
    {
        json_init(&p, text, std::strlen(text) + 1);
        code = json_next(&p);
    }
    std::string raw() const
    {
        size_t n;
        const char* s = json_rawstring(&p, &n);
        return std::string(s, n);
    }
    json_parser p;
    int code;
};

TEST(JsonParser, TokenSequences)
{
    EXPECT_EQ(V({10, 12}), Tokens("[]"));
    EXPECT_EQ(V({13, 15}), Tokens("{}"));
    EXPECT_EQ(V({13, 5, 9, 10, 3, 7, 2, 7, 0, 11, 8, 5, 9, 13, 15, 14}),
              Tokens(" {\t\"a\" :\r[ true , false , null ] ,\n\"b\" : { } } "));
    // A close must return to the state of the container around it.
    EXPECT_EQ(V({10, 13, 5, 9, 10, 12, 14, 7, 10, 13, 15, 11, 7, 4, 11}), Tokens("[{\"k\":[]},[{}],1]"));
}

// Scanner errors: the end stays where the unreadable token begins, the start
// is the token before it. Grammar errors bound the refused token.
TEST(JsonParser, ErrorsAndTheirPositions)
{
    const char* cases[][2] = {
        {"012", "Leading zero 0 0"}, {"[1, -00]", "Leading zero 2 4"}, {"-", "Negative without number 0 0"},
        {"[-x]", "Negative without number 0 1"}, {"nul", "Expected value 0 0"}, {"True", "Expected value 0 0"},
        {"'x'", "Expected value 0 0"}, {"[\x80]", "Expected value 0 1"}, {"\"abc", "Truncated string 0 0"},
        {"[\"ab\\", "Truncated string 0 1"}, {"", "Expected a value 0 0"}, {"  ]", "Expected a value 2 3"},
        {"[,", "Expected value or ']' 1 2"}, {"[1,]", "Expected array value 3 4"},
        {"[1 2]", "Expected ',' or ']' 3 4"},
        {"[1 ", "Expected ',' or ']' 1 3"},  // the NUL token does not move the start
        {"{1:2}", "Expected key or '}' 1 2"}, {"{\"a\":1,}", "Expected key 7 8"}, {"{\"a\" 1}", "Expected ':' 5 6"},
        {"{\"a\":}", "Expected object value 5 6"}, {"{\"a\":1]", "Expected ',' or '}' 6 7"},
    };
    for (auto& c : cases) EXPECT_EQ(c[1], Failure(c[0])) << "text: " << c[0];
    json_parser p;  // the text must hold its NUL; an inner one ends it
    EXPECT_NE(0, json_init(&p, "[1]", 3));
    EXPECT_EQ(std::string("Message is not null-terminated"), p.message);
    EXPECT_EQ(0, json_init(&p, "1\0x", 3));
    EXPECT_EQ(2u, p.input_len);
}

// A 65th container is refused at the token after its opening bracket; each
// close finds the right kind below it.
TEST(JsonParser, NestingLimitIs64)
{
    const std::string open(64, '['), close(64, ']');
    V want(64, JSON_ARRAY_BEGIN);
    want.push_back(JSON_ARRAY_EMPTY);
    want.insert(want.end(), 63, JSON_ARRAY_END);
    EXPECT_EQ(want, Tokens(open + close));
    EXPECT_EQ("Max structure depth reached 65 66", Failure("[" + open + close + "]"));
    EXPECT_EQ("Max structure depth reached 65 66", Failure("[" + open + "1"));
    std::string objects;
    for (int i = 0; i < 63; ++i) objects += "{\"k\":";
    EXPECT_EQ("ok", Failure(objects + "{}" + std::string(63, '}')));
    EXPECT_EQ("Max structure depth reached 321 322", Failure(objects + "{\"k\":{}}" + std::string(63, '}')));
}

TEST(JsonParser, TokenAccess)
{
    First s("\"a\\\"b\\n\"");
    EXPECT_EQ("\"a\\\"b\\n\"", s.raw());
    EXPECT_TRUE(json_match(&s.p, "a\\\"b\\n"));  // escapes compared as written
    EXPECT_FALSE(json_match(&s.p, "a\"b\n"));
    EXPECT_FALSE(json_match(&s.p, "a\\\"b\\"));
    First empty("\"\""), number("12");
    EXPECT_TRUE(json_match(&empty.p, ""));
    EXPECT_FALSE(json_match(&number.p, "12"));

    const std::pair<const char*, uint64_t> sizes[] = {
        {"123", 123}, {"12.9", 12}, {"1e5", 0}, {"-1", 0}, {"\"12\"", 0}, {"true", 0},
        {"18446744073709551615", UINT64_MAX}};
    for (auto& c : sizes) {
        First t(c.first);
        EXPECT_EQ(c.second, json_tosize(&t.p)) << c.first;
    }

    const struct {
        const char* text;
        bool ok;
        uint64_t value;
    } hex[] = {{"\"ff\"", true, 0xff}, {"\"DEADbeef\"", true, 0xdeadbeef}, {"\"\"", true, 0},
               {"\"0123456789abcdeF\"", true, 0x0123456789abcdef}, {"\"00000000000000001\"", false, 0},
               {"\"0x10\"", false, 0}, {"\" 1\"", false, 0}, {"12", false, 0}};
    for (auto& c : hex) {
        First t(c.text);
        bool ok = !c.ok, okx = !c.ok;
        EXPECT_EQ(c.value, json_fromhex(&t.p, &ok)) << c.text;
        EXPECT_EQ(reinterpret_cast<void*>(uintptr_t(c.value)), json_topointerx(&t.p, &okx)) << c.text;
        EXPECT_EQ(reinterpret_cast<void*>(uintptr_t(c.value)), json_topointer(&t.p)) << c.text;
        EXPECT_TRUE(ok == c.ok && okx == c.ok) << c.text;
    }
    EXPECT_EQ(0, json_toint(&s.p) | json_tointx(&s.p));
}

}  // namespace
