#include "plugin_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace {
const size_t LONGEST = 239;

std::string firstToken(const std::string& content, bool* fits = nullptr, long* position = nullptr)
{
    FILE* f = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), f);
    std::rewind(f);
    std::string token;
    bool tokenFits = readPlugDirToken(f, LONGEST, token);
    if (fits)
        *fits = tokenFits;
    if (position)
        *position = std::ftell(f);
    std::fclose(f);
    return token;
}
} // namespace

TEST(PluginDirectoryToken, IsTheFirstWordAfterLeadingWhiteSpace)
{
    EXPECT_EQ(firstToken("/usr/lib/\n"), "/usr/lib/");
    EXPECT_EQ(firstToken("\n\n  \t/opt/lib/ second\nthird"), "/opt/lib/");
    EXPECT_EQ(firstToken("/opt/my dir/"), "/opt/my");
    EXPECT_EQ(firstToken("/usr/lib/\r\n"), "/usr/lib/") << "a carriage return ends the token";
    EXPECT_EQ(firstToken("/no/newline"), "/no/newline");
}

TEST(PluginDirectoryToken, EmptyOrBlankFileGivesAnEmptyToken)
{
    EXPECT_EQ(firstToken(""), "");
    EXPECT_EQ(firstToken(" \n\t\r\n"), "");
}

TEST(PluginDirectoryToken, ZeroByteEndsTheUsableText)
{
    EXPECT_EQ(firstToken(std::string("/usr\0/lib/ x", 12)), "/usr");
}

TEST(PluginDirectoryToken, IsReadNoFurtherThanTheLongestUsableDirectory)
{
    bool fits = false;
    long position = 0;
    std::string longest(LONGEST, 'd');
    EXPECT_EQ(firstToken("  " + longest + " x", &fits, &position), longest);
    EXPECT_TRUE(fits);

    std::string endless(1000000, 'd');
    EXPECT_EQ(firstToken("  " + endless, &fits, &position), longest + "d");
    EXPECT_FALSE(fits);
    EXPECT_EQ(position, static_cast<long>(2 + LONGEST + 1)) << "the rest of the token stays unread";

    firstToken(std::string("/usr\0", 5) + endless, &fits, &position);
    EXPECT_FALSE(fits) << "characters after a zero byte still count";
    EXPECT_EQ(longestDirectory("libjcPKCS11.so.1"), LONGEST);
    EXPECT_EQ(longestDirectory("opensc-pkcs11.so"), LONGEST);
}

TEST(ModulePath, DirectoryAndFileNameRunTogether)
{
    char path[MODULE_PATH_SIZE];
    ASSERT_TRUE(buildModulePath("/usr/lib", "libjcPKCS11.so.1", path));
    EXPECT_STREQ(path, "/usr/liblibjcPKCS11.so.1");
    ASSERT_TRUE(buildModulePath("", "libjcPKCS11.so.1", path));
    EXPECT_STREQ(path, "libjcPKCS11.so.1");
}

TEST(ModulePath, LongestFittingDirectoryIs239Characters)
{
    char path[MODULE_PATH_SIZE];
    std::string directory(239, 'd');
    ASSERT_TRUE(buildModulePath(directory, "libjcPKCS11.so.1", path));
    EXPECT_EQ(std::string(path).size(), 255u);
    EXPECT_FALSE(buildModulePath(directory + "d", "libjcPKCS11.so.1", path));
    EXPECT_STREQ(path, "") << "a path that does not fit is never cut short";
}
