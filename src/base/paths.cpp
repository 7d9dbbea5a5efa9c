#include "base/paths.h"

#include <cctype>
#include <cstring>

// Last occurrence of c in text[1..len-1]; the first character is never a match,
// so a hidden name such as ".profile" has no separator.
static char* find_last_after_first(char* text, size_t len, char c)
{
    for (size_t i = len; i-- > 1;)
        if (text[i] == c) return text + i;
    return nullptr;
}

extern "C" {

char* splitpath(char* dir, char* file, const char* src)
{
    size_t len = strlen(src);
    memmove(dir, src, len + 1);
    char* slash = strrchr(dir, '/');
    if (!slash) {
        memmove(file, src, len + 1);
        return file;
    }
    memmove(file, slash + 1, strlen(slash + 1) + 1);
    slash[1] = '\0';
    return file;
}

void strip_last_of(char* text, char c)
{
    if (!c || !text[0]) return;
    char* hit = find_last_after_first(text, strlen(text), c);
    if (hit) *hit = '\0';
}

void strip_first_of(const char* src, char* out, char c)
{
    const char* hit = strchr(src, c);
    if (!c || !hit || !hit[1]) return;
    memmove(out, hit + 1, strlen(hit + 1) + 1);
}

void extract_file_extension(const char* src, char* out, char sep)
{
    out[0] = '\0';
    size_t len = strlen(src);
    if (!len) return;
    const char* hit = find_last_after_first(const_cast<char*>(src), len, sep);
    if (!hit) return;
    size_t n = strnlen(hit + 1, AC_EXT_MAX - 1);
    memcpy(out, hit + 1, n);
    out[n] = '\0';
}

size_t lowercase_string(char* text)
{
    size_t n = 0;
    for (; text[n]; n++) text[n] = (char)tolower((unsigned char)text[n]);
    return n;
}

}  // extern "C"
