// The path helpers behind the classification and the quick filters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/paths.h"

TEST(Paths, SplitExtensionAndStripping)
{
    // The directory keeps its trailing slash.
    const char* split[][3] = {{"/usr/bin/perl", "/usr/bin/", "perl"}, {"/", "/", ""}, {"perl", "perl", "perl"}};
    for (auto& c : split) {
        char dir[AC_PATH_MAX], file[AC_PATH_MAX];
        EXPECT_EQ(splitpath(dir, file, c[0]), file);
        EXPECT_EQ(std::string(dir) + "|" + file, std::string(c[1]) + "|" + c[2]) << c[0];
    }
    // The extension is after the last dot (found in the whole text), never a leading one, at most 7 bytes.
    const char* exts[][2] = {{"archive.tar.gz", "gz"}, {".bashrc", ""}, {"file.manifestx", "manifes"},
                             {"trailing.", ""}, {"noext", ""}, {"/dir.d/script", "d/scrip"}};
    for (auto& c : exts) {
        char out[AC_EXT_MAX];
        memset(out, 'x', sizeof out);
        extract_file_extension(c[0], out, '.');
        EXPECT_STREQ(out, c[1]) << c[0];
    }
    // strip_last_of never looks at the first character; strip_first_of copies only when something follows.
    const std::pair<const char*, const char*> last[] = {{".profile", ".profile"}, {"python3.9", "python3"},
                                                        {"a.b.c", "a.b"}, {"", ""}},
                                              first[] = {{"C:\\dir\\file", "dir\\file"}, {"\\lead", "lead"},
                                                         {"ends\\", "untouched"}, {"none", "untouched"}};
    for (auto [in, want] : last) {
        char buf[AC_PATH_MAX];
        strip_last_of(strcpy(buf, in), '.');
        EXPECT_STREQ(buf, want) << in;
    }
    for (auto [in, want] : first) {
        char out[AC_PATH_MAX] = "untouched";
        strip_first_of(in, out, '\\');
        EXPECT_STREQ(out, want) << in;
    }
    char s[] = "MiXeD/Path.PY";
    EXPECT_EQ(lowercase_string(s), strlen(s));
    EXPECT_STREQ(s, "mixed/path.py");
}
