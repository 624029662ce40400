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

namespace {

std::wstring fmt(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring out = formatLogMessage(format, args);
    va_end(args);
    return out;
}

}  // namespace

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
        EXPECT_EQ(fmt(L"Path = [%s]\n", c.in.c_str()), L"Path = [" + c.out + L"]\n");
    }
    EXPECT_EQ(fmt(L"%S|%hs|%c|%hc\n", "n\r", "\n", L'\n', 'z'), L"n\\r|\\n|\\n|z\n");
}

TEST(LogEscaping, NumbersWidthsAndPrecisionsFormatAsPrintfDoes)
{
    EXPECT_EQ(fmt(L"%d >> The return code for the http request = [%u].\n", 3, 200u),
              L"3 >> The return code for the http request = [200].\n");
    EXPECT_EQ(fmt(L"[%x] [%X] [%08x] [%o]", 0x800b0100u, 0xabu, 0x1fu, 8u), L"[800b0100] [AB] [0000001f] [10]");
    EXPECT_EQ(fmt(L"%d %i %ld %lu %lld", -5, 7, -9L, 4000000000UL, -1234567890123LL), L"-5 7 -9 4000000000 -1234567890123");
    EXPECT_EQ(fmt(L"Received %I64u bytes of the %u announced.", 6000000000ULL, 5u), L"Received 6000000000 bytes of the 5 announced.");
    EXPECT_EQ(fmt(L"%zu %Iu %hd %hhu", size_t{42}, size_t{43}, 70000, 300), L"42 43 4464 44");
    EXPECT_EQ(fmt(L"%.2f%% [%5s] [%-5s] [%.3s] [%*d] [%-*d] [%.*s]", 41.257, L"ab", L"ab", L"abcdef", 4, 7, 3, 7, 2, L"xyz"),
              L"41.26% [   ab] [ab   ] [abc] [   7] [7  ] [xy]");
    // A width counts the escaped text, as the line shows it.
    EXPECT_EQ(fmt(L"[%4s]", L"\n"), L"[  \\n]");
    EXPECT_EQ(fmt(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    // An unknown conversion stops the formatting without reading further arguments.
    EXPECT_EQ(fmt(L"a %d %q %s tail", 1, L"never read"), L"a 1 %q %s tail");
    EXPECT_EQ(fmt(L"50%"), L"50%");
}
