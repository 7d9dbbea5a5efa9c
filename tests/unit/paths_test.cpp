#include <gtest/gtest.h>

#include <string>

#include "cache/paths.h"

namespace {

std::pair<std::string, std::string> split(const char* src)
{
    char dir[AC_PATH_MAX], file[AC_PATH_MAX];
    char* r = splitpath(dir, file, src);
    EXPECT_EQ(r, file);
    return {dir, file};
}

std::string ext(const char* src)
{
    char out[AC_EXT_MAX];
    memset(out, 'x', sizeof out);
    extract_file_extension(src, out, '.');
    return out;
}

std::string last(const char* src, char c)
{
    char buf[AC_PATH_MAX];
    strcpy(buf, src);
    strip_last_of(buf, c);
    return buf;
}

std::string after_first(const char* src, char c)
{
    char out[AC_PATH_MAX] = "untouched";
    strip_first_of(src, out, c);
    return out;
}

}  // namespace

TEST(Paths, SplitKeepsTrailingSlashOnDirectory)
{
    EXPECT_EQ(split("/usr/bin/perl"), std::make_pair(std::string("/usr/bin/"), std::string("perl")));
    EXPECT_EQ(split("/usr/bin/"), std::make_pair(std::string("/usr/bin/"), std::string("")));
    EXPECT_EQ(split("/"), std::make_pair(std::string("/"), std::string("")));
    EXPECT_EQ(split("perl"), std::make_pair(std::string("perl"), std::string("perl")));
    EXPECT_EQ(split(""), std::make_pair(std::string(""), std::string("")));
}

TEST(Paths, ExtensionIsAfterLastDotButNeverTheLeadingOne)
{
    EXPECT_EQ(ext("archive.tar.gz"), "gz");
    EXPECT_EQ(ext(".bashrc"), "");
    EXPECT_EQ(ext("file.manifestx"), "manifes");
    EXPECT_EQ(ext("trailing."), "");
    EXPECT_EQ(ext(""), "");
    EXPECT_EQ(ext("noext"), "");
    EXPECT_EQ(ext("/dir.d/script"), "d/scrip");  // the separator is found in the whole text
    EXPECT_EQ(ext("a.py"), "py");
}

TEST(Paths, StripLastOfNeverLooksAtFirstCharacter)
{
    EXPECT_EQ(last(".profile", '.'), ".profile");
    EXPECT_EQ(last("python3.9", '.'), "python3");
    EXPECT_EQ(last("a.b.c", '.'), "a.b");
    EXPECT_EQ(last("none", '.'), "none");
    EXPECT_EQ(last("", '.'), "");
    EXPECT_EQ(last("abc", '\0'), "abc");
}

TEST(Paths, StripFirstOfCopiesOnlyWhenSomethingFollows)
{
    EXPECT_EQ(after_first("C:\\dir\\file", '\\'), "dir\\file");
    EXPECT_EQ(after_first("\\lead", '\\'), "lead");
    EXPECT_EQ(after_first("ends\\", '\\'), "untouched");
    EXPECT_EQ(after_first("none", '\\'), "untouched");
    EXPECT_EQ(after_first("", '\\'), "untouched");
}

TEST(Paths, LowercaseReturnsLength)
{
    char s[] = "MiXeD/Path.PY";
    EXPECT_EQ(lowercase_string(s), strlen("MiXeD/Path.PY"));
    EXPECT_STREQ(s, "mixed/path.py");
}
