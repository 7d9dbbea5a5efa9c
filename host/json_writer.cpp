#include "json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

void JsonWriter::separate()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_[depth_]) out_ += ',';
    first_[depth_] = false;
}

void JsonWriter::open(char c)
{
    separate();
    out_ += c;
    // Deeper levels than the snapshot ever builds share the last slot.
    if (depth_ < max_depth - 1) depth_++;
    first_[depth_] = true;
}

void JsonWriter::close(char c)
{
    if (depth_ > 0) depth_--;
    out_ += c;
}

void JsonWriter::key(const char* name)
{
    separate();
    quoted(name, strlen(name));
    out_ += ':';
    after_key_ = true;
}

void JsonWriter::quoted(const char* s, size_t n)
{
    out_ += '"';
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(c);
        } else if (c == '\n') {
            out_ += "\\n";
        } else if (c == '\t') {
            out_ += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out_ += esc;
        } else {
            out_ += static_cast<char>(c);
        }
    }
    out_ += '"';
}

void JsonWriter::string(const char* s, size_t n)
{
    separate();
    quoted(s, n);
}

void JsonWriter::string(const char* s) { string(s, strlen(s)); }

void JsonWriter::number(double v)
{
    separate();
    if (!std::isfinite(v)) {
        out_ += "null";
        return;
    }
    char buf[32];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        snprintf(buf, sizeof buf, "%.0f", v);
    else
        snprintf(buf, sizeof buf, "%.17g", v);
    out_ += buf;
}

void JsonWriter::boolean(bool v)
{
    separate();
    out_ += v ? "true" : "false";
}

void JsonWriter::null()
{
    separate();
    out_ += "null";
}

void JsonWriter::raw(const char* json, size_t n)
{
    separate();
    out_.append(json, n);
}
