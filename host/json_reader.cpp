#include "json_reader.h"

#include <cstdlib>
#include <cstring>

const JsonValue* JsonValue::find(const char* key) const
{
    for (const auto& m : members)
        if (m.first == key) return &m.second;
    return nullptr;
}

namespace {

struct Parser {
    const char* p;
    const char* end;
    int depth = 0;

    void skip_space()
    {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) p++;
    }
    bool eat(char c)
    {
        skip_space();
        if (p >= end || *p != c) return false;
        p++;
        return true;
    }
    bool word(const char* w)
    {
        size_t n = strlen(w);
        if ((size_t)(end - p) < n || memcmp(p, w, n) != 0) return false;
        p += n;
        return true;
    }
    static void put_utf8(std::string& s, unsigned c)
    {
        if (c < 0x80) {
            s += (char)c;
        } else if (c < 0x800) {
            s += (char)(0xc0 | c >> 6);
            s += (char)(0x80 | (c & 0x3f));
        } else {
            s += (char)(0xe0 | c >> 12);
            s += (char)(0x80 | (c >> 6 & 0x3f));
            s += (char)(0x80 | (c & 0x3f));
        }
    }
    bool escape(std::string& s)
    {
        static const char from[] = "\"\\/bfnrt", to[] = "\"\\/\b\f\n\r\t";
        const char* k = p < end && *p ? strchr(from, *p) : nullptr;
        if (k) {
            s += to[k - from];
            p++;
            return true;
        }
        if (p >= end || *p != 'u' || end - p < 5) return false;
        char hex[5] = {p[1], p[2], p[3], p[4], 0};
        char* stop;
        unsigned c = (unsigned)strtoul(hex, &stop, 16);
        if (*stop) return false;
        put_utf8(s, c);
        p += 5;
        return true;
    }
    bool string(std::string& s)
    {
        if (!eat('"')) return false;
        while (p < end && *p != '"') {
            if ((unsigned char)*p < 0x20) return false;
            if (*p++ != '\\') s += p[-1];
            else if (!escape(s)) return false;
        }
        return p < end && *p++ == '"';
    }
    bool number(double& v)
    {
        std::string digits;
        while (p < end && strchr("+-0123456789.eE", *p) && *p) digits += *p++;
        char* stop;
        v = strtod(digits.c_str(), &stop);
        return !digits.empty() && !*stop;
    }
    bool object(JsonValue& v)
    {
        v.kind = JsonValue::object;
        if (eat('}')) return true;
        do {
            v.members.emplace_back();
            if (!string(v.members.back().first) || !eat(':') || !value(v.members.back().second)) return false;
        } while (eat(','));
        return eat('}');
    }
    bool array(JsonValue& v)
    {
        v.kind = JsonValue::array;
        if (eat(']')) return true;
        do {
            v.items.emplace_back();
            if (!value(v.items.back())) return false;
        } while (eat(','));
        return eat(']');
    }
    bool value(JsonValue& v)
    {
        skip_space();
        if (p >= end || ++depth > 64) return false;
        bool ok = true;
        if (eat('{')) {
            ok = object(v);
        } else if (eat('[')) {
            ok = array(v);
        } else if (*p == '"') {
            v.kind = JsonValue::string;
            ok = string(v.str);
        } else if (word("true") || word("false")) {
            v.kind = JsonValue::boolean;
            v.b = p[-1] == 'e' && p[-2] == 'u';  // "true", not "false"
        } else if (!word("null")) {
            v.kind = JsonValue::number;
            ok = number(v.num);
        }
        depth--;
        return ok;
    }
};

}  // namespace

bool parse_json(const std::string& text, JsonValue& out)
{
    Parser ps{text.data(), text.data() + text.size()};
    out = JsonValue();
    if (!ps.value(out)) return false;
    ps.skip_space();
    return ps.p == ps.end;
}
