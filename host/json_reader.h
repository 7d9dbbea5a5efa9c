// Reads the JSON the status snapshot is written in back into a tree, members
// in the order written.
#pragma once
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum Kind { null, boolean, number, string, array, object } kind = null;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<JsonValue> items;                             // array
    std::vector<std::pair<std::string, JsonValue>> members;  // object

    const JsonValue* find(const char* key) const;
};

// False when `text` is not one JSON value (whitespace around it allowed).
bool parse_json(const std::string& text, JsonValue& out);
