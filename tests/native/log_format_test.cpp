#include "app/log_format.h"

#include <gtest/gtest.h>

#include <cstdarg>

using namespace velt;

TEST(LogPrefix, FixedWidthFieldsAndTheLevelWord)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 0;
    t.tm_min = 3;
    t.tm_sec = 9;
    EXPECT_EQ(formatLogPrefix(t, LogLevel::Info), "2026-01-05T00:03:09 INFO:");
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    EXPECT_EQ(formatLogPrefix(t, LogLevel::Error), "2026-12-31T23:03:09 ERROR:");
}

TEST(LogNarrowing, LatinOneKeptAboveReplacedLineEndSurvives)
{
    EXPECT_EQ(narrowForLog(L"abc\n"), "abc\n");
    EXPECT_EQ(narrowForLog(L"caf\u00e9 \u00ff"), "caf\xe9 \xff");
    // A character the one-byte log cannot hold must not cut the rest of the line off.
    EXPECT_EQ(narrowForLog(L"C:\\\u65e5\u672c\\x.exe]\n"), "C:\\??\\x.exe]\n");
    EXPECT_EQ(narrowForLog(L""), "");
}

TEST(LogEscaping, ControlCharactersInArgumentsCannotBreakTheLine)
{
    const struct {
        std::wstring in, out;
    } cases[] = {
        {L"plain C:\\dir\\a.exe", L"plain C:\\dir\\a.exe"},  // backslashes stay: paths read as before
        {L"a\r\nb", L"a\\r\\nb"},
        {L"\t\x1B[31m\x7F", L"\\t\\x1B[31m\\x7F"},
        {L"\x01\x1F", L"\\x01\\x1F"},
        {L"x\x85y\x9F\xA0\xE9", L"x\\x85y\\x9F\xA0\xE9"},  // C1 escaped, Latin-1 letters kept
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapeControlCharacters(c.in), c.out);
        // Only the message's own line end survives.
        EXPECT_EQ(escapeLogMessage(L"Path = [" + c.in + L"]\n"), L"Path = [" + c.out + L"]\n");
        EXPECT_EQ(escapeLogMessage(L"[" + c.in + L"]"), L"[" + c.out + L"]");
    }
    EXPECT_EQ(escapeLogMessage(L"\n\n"), L"\\n\n");
}
