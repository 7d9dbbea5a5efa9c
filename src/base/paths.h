// Path-string utilities shared by the event context, the interpreter rules and
// the handlers. Outputs must be large enough for their source.
#pragma once
#include <cstddef>

constexpr size_t AC_PATH_MAX = 4096;  // buffer size: 4095 characters and a NUL
constexpr size_t AC_EXT_MAX = 8;      // buffer size: 7 characters and a NUL

extern "C" {
char* splitpath(char* dir, char* file, const char* src);
void strip_last_of(char* text, char c);
void strip_first_of(const char* src, char* out, char c);
void extract_file_extension(const char* src, char* out, char sep);
size_t lowercase_string(char* text);
}

#include <cstring>

// Copies a path into a 4096-byte field: at most 4095 characters and a NUL.
inline void ac_copy_path(char* dst, const char* src)
{
    size_t n = strnlen(src, AC_PATH_MAX - 1);
    memmove(dst, src, n);
    dst[n] = '\0';
}
