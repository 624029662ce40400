#include <gtest/gtest.h>

#include "flow/command_lines.h"
#include "flow/version_compare.h"

using namespace velt;

TEST(SplitString, BehavesLikeDelimitedStreamReads)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(splitString("1.2.3.4", '.'), (V{"1", "2", "3", "4"}));
    EXPECT_EQ(splitString("1..3.4", '.'), (V{"1", "", "3", "4"}));
    EXPECT_EQ(splitString("1.2.3.4.", '.'), (V{"1", "2", "3", "4"}));  // no empty last part
    EXPECT_EQ(splitString(".", '.'), (V{""}));
    EXPECT_EQ(splitString("", '.'), V{});
    EXPECT_EQ(splitString("abc", '.'), (V{"abc"}));
}

TEST(IsNewerVersion, NumericPartByPartComparison)
{
    EXPECT_TRUE(isNewerVersion("1.10.0.0", "1.9.9.9"));
    EXPECT_FALSE(isNewerVersion("2.0.0.0", "10.0.0.0"));
    EXPECT_FALSE(isNewerVersion("1.2.3.4", "1.2.3.4"));
    EXPECT_TRUE(isNewerVersion("1.2.3.5", "1.2.3.4"));
    EXPECT_FALSE(isNewerVersion("1.2.3.4", "1.2.3.5"));
    EXPECT_TRUE(isNewerVersion("2.0.0.0", "1.99.99.99"));
}

TEST(IsNewerVersion, OnlyFourPartVersionsCompare)
{
    EXPECT_FALSE(isNewerVersion("1.2.3.4.5", "1.0.0.0"));
    EXPECT_FALSE(isNewerVersion("9.9.9", "1.0.0.0"));
    EXPECT_FALSE(isNewerVersion("", "1.0.0.0"));
    EXPECT_FALSE(isNewerVersion("2.0.0.0", "1.0.0"));
    EXPECT_FALSE(isNewerVersion("2.0.0.0", ""));
    EXPECT_TRUE(isNewerVersion("1.2.3.5.", "1.2.3.4"));  // a trailing dot still leaves four parts
}

TEST(IsNewerVersion, PartsAreReadLikeAtoi)
{
    EXPECT_TRUE(isNewerVersion("1.0.3.4", "1..3.4") == false);  // empty part is 0: equal
    EXPECT_TRUE(isNewerVersion("1.1.3.4", "1..3.4"));
    EXPECT_FALSE(isNewerVersion("1.2.3.4a", "1.2.3.4"));  // 4a reads as 4
    EXPECT_TRUE(isNewerVersion("1.2.3.5a", "1.2.3.4"));
    EXPECT_FALSE(isNewerVersion("v2.0.0.0", "1.0.0.0"));  // v2 reads as 0
    EXPECT_TRUE(isNewerVersion(" 2.0.0.0", "1.0.0.0"));   // leading blanks skipped
    EXPECT_FALSE(isNewerVersion("-1.0.0.0", "0.0.0.0"));  // a sign is read
}

TEST(RegistryVersionText, LowByteOfEachUnit)
{
    EXPECT_EQ(lowBytesOf(u"1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(lowBytesOf(u"1\u01312"), std::string("1\x31" "2"));  // U+0131: low byte 0x31
    EXPECT_EQ(lowBytesOf(u""), "");
}

TEST(CommandLines, InstallerAndLauncherTexts)
{
    EXPECT_EQ(formatInstallerCommandLine(L"VeltraneDesktopApp.exe").value(),
              L"\"VeltraneDesktopApp.exe\" --mode unattended --launchClient \"0\"");
    EXPECT_EQ(formatLauncherCommandLine(L"C:\\A\\VeAppMgrLauncher.exe", L"-postPurchase").value(),
              L"\"C:\\A\\VeAppMgrLauncher.exe\" -postPurchase");
    // No arguments: the line still ends in one blank.
    EXPECT_EQ(formatLauncherCommandLine(L"C:\\A\\VeAppMgrLauncher.exe", L"").value(), L"\"C:\\A\\VeAppMgrLauncher.exe\" ");
}

TEST(CommandLines, TooLongOrQuotedTextsAreRefusedNotCut)
{
    const std::wstring suffix = L"\" --mode unattended --launchClient \"0\"";  // plus the opening quote
    const std::wstring fits(kCommandLineCapacity - 1 - suffix.size() - 1, L'a');
    ASSERT_TRUE(formatInstallerCommandLine(fits));
    EXPECT_EQ(formatInstallerCommandLine(fits)->size(), kCommandLineCapacity - 1);
    EXPECT_FALSE(formatInstallerCommandLine(fits + L"a"));
    EXPECT_FALSE(formatLauncherCommandLine(L"C:\\x.exe", std::wstring(1040, L'x')));
    // A quote would end the program name early and make the rest arguments.
    EXPECT_FALSE(formatInstallerCommandLine(L"evil.exe\" --other \"x.exe"));
    EXPECT_FALSE(formatLauncherCommandLine(L"C:\\a\" b\\VeAppMgrLauncher.exe", L""));
    // The arguments are the metadata's own text and may hold quotes.
    EXPECT_TRUE(formatLauncherCommandLine(L"C:\\x.exe", L"--name \"a b\""));
}
