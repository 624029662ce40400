// The bootstrap log file: line format, encoding, appending and sharing.
#include <windows.h>

#include <gtest/gtest.h>

#include <share.h>

#include <cstdio>
#include <regex>

#include "app/bootstrap_log.h"
#include "win_test_support.h"

using namespace velt;
using namespace velt::test;

namespace {

std::wstring freshLog(const wchar_t* name)
{
    std::wstring path = makeTempFolder(L"logtest") + name;
    DeleteFileW(path.c_str());
    return path;
}

}  // namespace

TEST(BootstrapLog, LineFormatLevelsAndCrLf)
{
    const auto path = freshLog(L"format.log");
    ASSERT_TRUE(openBootstrapLog(path));
    logInfo(L"Path of the stub executable = [%s]\n", L"C:\\x\\VeltappBootstrap.exe");
    logError(L"Error occurred, error code = [%d].\n", 3);
    logError(L"Embedded metadata = [%s].\n", L"");
    logInfo(L"%d >> The return code for the http request = [%u].\n", 4, 404u);
    // Outside text cannot start a line of its own; 64-bit counts format as the messages expect.
    logInfo(L"A certificate with a subject name [%s] has been found!\n", L"x\r\n2026-01-01T00:00:00 INFO::forged\x1B");
    logError(L"Received %I64u bytes of the %u announced.\n", 5000000000ULL, 7u);
    closeBootstrapLog();

    const std::string text = readFileBytes(path);
    const std::regex expected(
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d INFO::Path of the stub executable = \\[C:\\\\x\\\\VeltappBootstrap\\.exe\\]\r\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d ERROR::Error occurred, error code = \\[3\\]\\.\r\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d ERROR::Embedded metadata = \\[\\]\\.\r\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d INFO::4 >> The return code for the http request = \\[404\\]\\.\r\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d INFO::A certificate with a subject name "
        "\\[x\\\\r\\\\n2026-01-01T00:00:00 INFO::forged\\\\x1B\\] has been found!\r\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d ERROR::Received 5000000000 bytes of the 7 announced\\.\r\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(BootstrapLog, CharactersAboveLatinOneAreReplacedNotCut)
{
    const auto path = freshLog(L"wide.log");
    ASSERT_TRUE(openBootstrapLog(path));
    logInfo(L"Path of the stub executable = [%s]\n", L"C:\\\u65e5\u672c\\caf\u00e9.exe");
    logInfo(L"next\n");
    closeBootstrapLog();
    const std::string text = readFileBytes(path);
    EXPECT_NE(text.find("INFO::Path of the stub executable = [C:\\??\\caf\xe9.exe]\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("INFO::next\r\n"), std::string::npos);
}

TEST(BootstrapLog, AppendsAcrossOpensAndDeniesOtherWriters)
{
    const auto path = freshLog(L"append.log");
    ASSERT_TRUE(openBootstrapLog(path));
    logInfo(L"first run\n");
    closeBootstrapLog();

    ASSERT_TRUE(openBootstrapLog(path));
    // Another writer (a second instance) is refused while the log is open; readers are not.
    FILE* second = _wfsopen(path.c_str(), L"at", _SH_DENYWR);
    EXPECT_EQ(second, nullptr);
    if (second) fclose(second);
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    // A failed second open keeps the first stream.
    EXPECT_FALSE(openBootstrapLog(L"Z:\\no\\such\\folder\\x.log"));
    logInfo(L"second run\n");
    // Unbuffered: the line is in the file before the log is closed.
    const std::string whileOpen = readFileBytes(path);
    EXPECT_NE(whileOpen.find("second run\r\n"), std::string::npos);
    closeBootstrapLog();

    const std::string text = readFileBytes(path);
    EXPECT_LT(text.find("first run"), text.find("second run"));
    // Without an open log, writing is a silent no-op.
    logInfo(L"lost\n");
    EXPECT_EQ(readFileBytes(path), text);
}
