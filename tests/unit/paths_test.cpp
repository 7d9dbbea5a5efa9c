// The path helpers behind the classification and the quick filters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/paths.h"

TEST(Paths, SplitKeepsTrailingSlashOnDirectory)
{
    const char* cases[][3] = {{"/usr/bin/perl", "/usr/bin/", "perl"}, {"/usr/bin/", "/usr/bin/", ""},
                              {"/", "/", ""}, {"perl", "perl", "perl"}, {"", "", ""}};
    for (auto& c : cases) {
        char dir[AC_PATH_MAX], file[AC_PATH_MAX];
        EXPECT_EQ(splitpath(dir, file, c[0]), file);
        EXPECT_STREQ(dir, c[1]) << c[0];
        EXPECT_STREQ(file, c[2]) << c[0];
    }
}

// The extension is after the last dot, never the leading one, and at most 7 bytes.
TEST(Paths, ExtensionsAndStripping)
{
    const char* exts[][2] = {{"archive.tar.gz", "gz"}, {".bashrc", ""}, {"file.manifestx", "manifes"},
                             {"trailing.", ""}, {"", ""}, {"noext", ""}, {"a.py", "py"},
                             {"/dir.d/script", "d/scrip"}};  // the separator is found in the whole text
    for (auto& c : exts) {
        char out[AC_EXT_MAX];
        memset(out, 'x', sizeof out);
        extract_file_extension(c[0], out, '.');
        EXPECT_STREQ(out, c[1]) << c[0];
    }
    // strip_last_of never looks at the first character.
    const std::pair<const char*, const char*> last[] = {{".profile", ".profile"}, {"python3.9", "python3"},
                                                        {"a.b.c", "a.b"}, {"none", "none"}, {"", ""}};
    for (auto [in, want] : last) {
        char buf[AC_PATH_MAX];
        strcpy(buf, in);
        strip_last_of(buf, '.');
        EXPECT_STREQ(buf, want) << in;
    }
    char nul[] = "abc";
    strip_last_of(nul, '\0');
    EXPECT_STREQ(nul, "abc");
    // strip_first_of copies only when something follows.
    const std::pair<const char*, const char*> first[] = {{"C:\\dir\\file", "dir\\file"}, {"\\lead", "lead"},
                                                         {"ends\\", "untouched"}, {"none", "untouched"},
                                                         {"", "untouched"}};
    for (auto [in, want] : first) {
        char out[AC_PATH_MAX] = "untouched";
        strip_first_of(in, out, '\\');
        EXPECT_STREQ(out, want) << in;
    }
    char s[] = "MiXeD/Path.PY";
    EXPECT_EQ(lowercase_string(s), strlen("MiXeD/Path.PY"));
    EXPECT_STREQ(s, "mixed/path.py");
}
