// The diagnostic line format, the switch's reading rule and the result report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>

#include "debug_capture.h"
#include "proxymanager/diagnostics.h"

using namespace VELT::ProxyManager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kPrefix = "Veltrane   VeltProxyManager   ";

TEST(DiagnosticsTest, LinesCarryPrefixLevelAndLineFeed)
{
    pmtest::DebugCapture capture;
    DebugLog(LOG_INFO, L"PMStatus:%d", 1);
    DebugLog(LOG_DEBUG, L"Proxy server list:%s", L"p1:80");
    DebugLogA(LOG_ERROR, "%s() API failed. Error:%lu Description:%s", "WinHttpOpen", 12029ul, "x\r\n");
    DebugLog(7, L"odd level");
    DebugLogA(-1, "negative level");
    DebugLog(LOG_TRACE, L"t");
    DebugLog(LOG_FATAL, L"f");
    EXPECT_THAT(capture.lines(),
                ElementsAre(kPrefix + "[INFO]   PMStatus:1\n", kPrefix + "[DEBUG]   Proxy server list:p1:80\n",
                            kPrefix + "[ERROR]   WinHttpOpen() API failed. Error:12029 Description:x\r\n\n",
                            kPrefix + "[INFO]   odd level\n", kPrefix + "[INFO]   negative level\n",
                            kPrefix + "[TRACE]   t\n", kPrefix + "[FATAL]   f\n"));
}

TEST(DiagnosticsTest, NothingIsWrittenWhenSwitchedOffOrWithoutFormat)
{
    {
        pmtest::DebugCapture capture(false);
        DebugLog(LOG_ERROR, L"hidden");
        DebugLogA(LOG_ERROR, "hidden");
        EXPECT_THAT(capture.lines(), IsEmpty());
        EXPECT_FALSE(IsDebugOutputEnabled());
    }
    pmtest::DebugCapture capture;
    DebugLog(LOG_INFO, nullptr);
    DebugLogA(LOG_INFO, nullptr);
    EXPECT_THAT(capture.lines(), IsEmpty());
}

TEST(DiagnosticsTest, OverlongMessagesAreCutAtTheBuffer)
{
    pmtest::DebugCapture capture;
    const std::wstring longWide(5000, L'w');
    const std::string longNarrow(5000, 'n');
    DebugLog(LOG_INFO, L"%s", longWide.c_str());
    DebugLogA(LOG_INFO, "%s-%s", longNarrow.c_str(), longNarrow.c_str());
    ASSERT_EQ(capture.lines().size(), 2u);
    const std::size_t cut = kDebugMessageCapacity - 1;
    EXPECT_EQ(capture.lines()[0], kPrefix + "[INFO]   " + std::string(cut, 'w') + "\n");
    EXPECT_EQ(capture.lines()[1], kPrefix + "[INFO]   " + std::string(cut, 'n') + "\n");
}

TEST(DiagnosticsTest, WideFormatsTakeWideStringsWithFlagsAndPercent)
{
    pmtest::DebugCapture capture;
    DebugLog(LOG_INFO, L"[%5s|%-3s|%%s|%lu]", L"ab", L"c", 42ul);
    EXPECT_THAT(capture.linesWithLevel("[INFO]"), ElementsAre("[   ab|c  |%s|42]\n"));
}

TEST(DiagnosticsTest, FormatResultNeverShowsThePassword)
{
    char server[] = "proxy1";
    char port[] = "8080";
    char user[] = "";
    char password[] = "s3cret";
    ProxyResult result = {user, password, server, port, 0};
    EXPECT_EQ(FormatResult(result), "Output: [server=proxy1 serverPort=8080 user= password=**** authScheme=0]");
    char alice[] = "CORP\\alice";
    result.user = alice;
    result.authScheme = 4;
    EXPECT_EQ(FormatResult(result),
              "Output: [server=proxy1 serverPort=8080 user=CORP\\alice password=**** authScheme=4]");
    // A reset record reads as empty fields rather than dereferencing nulls.
    ProxyResult reset = {nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(FormatResult(reset), "Output: [server= serverPort= user= password=**** authScheme=0]");
}

TEST(DiagnosticsTest, ReportStatusListsTheResultOnlyOnSuccess)
{
    char server[] = "p";
    char port[] = "1";
    char user[] = "u";
    char password[] = "topsecret";
    ProxyResult result = {user, password, server, port, 1};
    for (PMStatus status : {1, 2, 4, 5, 6}) {
        pmtest::DebugCapture capture;
        EXPECT_EQ(ReportStatus(status, &result), status);
        EXPECT_THAT(capture.lines(), ElementsAre(kPrefix + "[INFO]   PMStatus:" + std::to_string(status) + "\n"));
    }
    pmtest::DebugCapture capture;
    EXPECT_EQ(ReportStatus(PM_STATUS_SUCCESS, &result), PM_STATUS_SUCCESS);
    EXPECT_THAT(capture.lines(),
                ElementsAre(kPrefix + "[INFO]   PMStatus:0\n",
                            kPrefix + "[INFO]   Output: [server=p serverPort=1 user=u password=**** authScheme=1]\n"));
    for (const std::string& line : capture.lines()) EXPECT_EQ(line.find("topsecret"), std::string::npos);
}

TEST(DiagnosticsTest, BoolFlagReadsOnlyTrueAndFalseInAnyCase)
{
    for (const wchar_t* on : {L"TRUE", L"true", L"True", L"tRuE"}) {
        EXPECT_TRUE(InterpretBoolFlag(on, false)) << on;
        EXPECT_TRUE(InterpretBoolFlag(on, true)) << on;
    }
    for (const wchar_t* off : {L"FALSE", L"false", L"False"}) {
        EXPECT_FALSE(InterpretBoolFlag(off, true)) << off;
        EXPECT_FALSE(InterpretBoolFlag(off, false)) << off;
    }
    for (const wchar_t* other : {L"", L"yes", L"1", L"0", L"no", L" true", L"true ", L"TRUEE", L"on"}) {
        EXPECT_FALSE(InterpretBoolFlag(other, false)) << other;
        EXPECT_TRUE(InterpretBoolFlag(other, true)) << other;
    }
}

TEST(DiagnosticsTest, EqualsIgnoreCaseFoldsAsciiOnly)
{
    EXPECT_TRUE(EqualsIgnoreCase(L"Proxy.Example", L"PROXY.example"));
    EXPECT_TRUE(EqualsIgnoreCase(L"", L""));
    EXPECT_FALSE(EqualsIgnoreCase(L"http", L"https"));
    EXPECT_FALSE(EqualsIgnoreCase(L"a", L"b"));
    EXPECT_FALSE(EqualsIgnoreCase(L"\u00e9", L"\u00c9"));
    EXPECT_FALSE(EqualsIgnoreCase(L"[", L"{"));  // 0x5B vs 0x7B: only letters fold
}

}  // namespace
