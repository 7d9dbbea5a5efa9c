// A small JSON emitter for the status snapshot: appends to a string, keeps
// track of commas, escapes every string it is given.
#pragma once
#include <cstddef>
#include <string>

class JsonWriter {
public:
    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    void key(const char* name);
    void string(const char* s, size_t n);
    void string(const char* s);
    void number(double v);
    void boolean(bool v);
    void null();
    // A value that is already JSON text, written as it is.
    void raw(const char* json, size_t n);
    const std::string& text() const { return out_; }

private:
    void open(char c);
    void close(char c);
    void separate();  // the comma before a value that is not the first
    void quoted(const char* s, size_t n);

    static constexpr int max_depth = 32;
    std::string out_;
    bool first_[max_depth] = {true};
    int depth_ = 0;
    bool after_key_ = false;
};
