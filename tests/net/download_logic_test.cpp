#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "net/download_logic.h"

using namespace velt;

TEST(DownloadLogic, InstallerFileNameIsTheLastPathSegment)
{
    EXPECT_EQ(installerFileNameFromUrl(L"http://h/a/b/VeltraneDesktopApp.exe"), L"VeltraneDesktopApp.exe");
    EXPECT_EQ(installerFileNameFromUrl(L"http://h/a/"), L"");
    EXPECT_EQ(installerFileNameFromUrl(L"Setup.exe"), L"Setup.exe");
    EXPECT_EQ(installerFileNameFromUrl(L""), L"");
    // Query and fragment are dropped before the last "/" is looked for; the host never counts.
    EXPECT_EQ(installerFileNameFromUrl(L"http://h/x.exe?v=1/2"), L"x.exe");
    EXPECT_EQ(installerFileNameFromUrl(L"https://h/d/VeltraneDesktopApp.exe?sig=a%2Fb&exp=1#frag/x"),
              L"VeltraneDesktopApp.exe");
    EXPECT_EQ(installerFileNameFromUrl(L"http://h/a%2F..%2Fb.exe"), L"a%2F..%2Fb.exe");
    EXPECT_EQ(installerFileNameFromUrl(L"http://h"), L"");
    EXPECT_EQ(installerFileNameFromUrl(L"http://h?x=/y.exe"), L"");
    EXPECT_EQ(installerFileNameFromUrl(L"http://h/files/..\\..\\x.exe"), L"..\\..\\x.exe");
}

TEST(DownloadLogic, PlainFileNameRule)
{
    using P = FileNameProblem;
    const std::pair<P, std::vector<std::wstring>> cases[] = {
        {P::Ok, {L"VeltraneDesktopApp.exe", L"setup", L"a%2F..%2Fb.exe", L"CONSOLE.exe", L"COM10", L"LPT10.exe", L"CONIN", L"COM\u2074",
                 L".hidden", std::wstring(251, L'a') + L".exe"}},
        {P::Empty, {L""}},
        {P::DotName, {L".", L".."}},
        {P::Separator, {L"..\\..\\x.exe", L"C:\\x.exe", L"\\\\host\\share\\x", L"a/b", L"x.exe:stream"}},
        {P::ControlCharacter, {L"x\r\n.exe", L"x\x7F.exe", L"\x01"}},
        {P::ReservedCharacter, {L"x*.exe", L"x?.exe", L"\"x\".exe", L"<x>", L"x|y"}},
        {P::TrailingDotOrBlank, {L"x.exe.", L"x.exe ", L"..."}},
        {P::DeviceName, {L"CON", L"nul.exe", L"Aux .txt", L"prn.tar.gz", L"com1", L"LPT9.exe", L"COM0", L"lpt0.txt",
                         L"COM\u00B9", L"com\u00B2.exe", L"LPT\u00B3", L"lpt\u00B9.dat", L"CONIN$", L"conout$.log"}},
        {P::TooLong, {std::wstring(252, L'a') + L".exe"}},
    };
    for (const auto& [problem, names] : cases)
        for (const std::wstring& name : names) EXPECT_EQ(checkPlainFileName(name), problem) << name;
}

TEST(DownloadLogic, ProxySchemeOrder)
{
    EXPECT_EQ(pickProxyAuthScheme(kAuthBasic | kAuthNtlm), kAuthBasic);
    EXPECT_EQ(pickProxyAuthScheme(kAuthBasic | kAuthNegotiate), kAuthBasic);
    EXPECT_EQ(pickProxyAuthScheme(kAuthNtlm | kAuthNegotiate | kAuthDigest), kAuthNegotiate);
    EXPECT_EQ(pickProxyAuthScheme(kAuthNtlm | kAuthPassport | kAuthDigest), kAuthNtlm);
    EXPECT_EQ(pickProxyAuthScheme(kAuthPassport | kAuthDigest), kAuthPassport);
    EXPECT_EQ(pickProxyAuthScheme(kAuthDigest), kAuthDigest);
    EXPECT_EQ(pickProxyAuthScheme(0), 0u);
    EXPECT_EQ(pickProxyAuthScheme(0x20), 0u);
}

TEST(DownloadLogic, PercentInSinglePrecision)
{
    EXPECT_FLOAT_EQ(downloadPercent(512, 1024), 50.0f);
    EXPECT_FLOAT_EQ(downloadPercent(1024, 1024), 100.0f);
    EXPECT_EQ(downloadPercent(0, 1024), 0.0f);
    EXPECT_FLOAT_EQ(downloadPercent(0xFFFFFFFFull, 0xFFFFFFFFu), 100.0f);
    // Without a length: infinity once data arrived, NaN before.
    EXPECT_TRUE(std::isinf(downloadPercent(10, 0)));
    EXPECT_GT(downloadPercent(10, 0), 0.0f);
    EXPECT_TRUE(std::isnan(downloadPercent(0, 0)));
}

TEST(DownloadLogic, BodyCompleteness)
{
    BodyOutcome o;
    EXPECT_TRUE(bodyComplete(o)) << "empty body without a length";
    o.lengthKnown = true;
    o.contentLength = 100;
    o.received = 100;
    EXPECT_TRUE(bodyComplete(o));
    o.received = 99;
    EXPECT_FALSE(bodyComplete(o)) << "shorter than announced";
    o.received = 100;
    o.readFailed = true;
    EXPECT_FALSE(bodyComplete(o));
    o.readFailed = false;
    o.writeFailed = true;
    EXPECT_FALSE(bodyComplete(o));
    BodyOutcome unknown;
    unknown.received = 12345;
    EXPECT_TRUE(bodyComplete(unknown)) << "without a length the end of the connection ends the body";
}

TEST(DownloadLogic, SecureFailures)
{
    for (std::uint32_t code : {12175u, 12037u, 12038u, 12045u, 12057u, 12157u, 12169u, 12170u, 12179u})
        EXPECT_TRUE(isSecureFailure(code)) << code;
    for (std::uint32_t code : {0u, 12002u, 12007u, 12029u, 12030u, 12032u, 12152u})
        EXPECT_FALSE(isSecureFailure(code)) << code;
}

TEST(DownloadLogic, ReadsGrowWhileQuickAndShrinkWhenTheyWait)
{
    ReadSizer sizer;
    EXPECT_EQ(sizer.wanted(0), 0u) << "nothing available: the body has ended";
    EXPECT_EQ(sizer.wanted(8192), 8192u) << "first read: what is there";
    sizer.update(8192, 0);
    EXPECT_EQ(sizer.wanted(8192), 32768u);
    std::uint32_t asked = 0;
    for (int i = 0; i < 10; ++i) {
        asked = sizer.wanted(8192);
        sizer.update(asked, 1);
    }
    EXPECT_EQ(sizer.wanted(8192), ReadSizer::kMaxReadSize) << "capped";
    EXPECT_EQ(sizer.wanted(1u << 20), ReadSizer::kMaxReadSize) << "the rest stays in WinHTTP's buffer";
    sizer.update(asked, 500);  // that read had to wait: a slow link
    EXPECT_EQ(sizer.wanted(100), 100u);
}

TEST(DownloadLogic, ResumeSchedulesValidatorsAndHeaders)
{
    std::vector<std::uint32_t> pauses;
    for (int n = 1; n <= kMaxFurtherRequests; ++n) pauses.push_back(furtherRequestPauseMs(n));
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{0, 1000, 2000, 4000, 8000}));

    EXPECT_TRUE(acceptsByteRanges(L" none , Bytes "));
    EXPECT_FALSE(acceptsByteRanges(L"bytesx"));
    const std::wstring date = L"Tue, 08 Dec 2026 10:00:00 GMT";
    EXPECT_EQ(resumeValidator(L"\"v1\"", date), L"\"v1\"") << "the ETag comes first";
    EXPECT_EQ(resumeValidator(L"W/\"v1\"", date), date) << "a weak ETag cannot go into If-Range";
    EXPECT_EQ(resumeValidator(L"W/\"v1\"", L""), L"");
    EXPECT_EQ(resumeValidator(L"\"a\r\nX-Evil: 1\"", L"Tue\r\nX: 1"), L"") << "no header lines smuggled in";
    EXPECT_EQ(resumeRequestHeaders(4096, L"\"v1\""), L"Range: bytes=4096-\r\nIf-Range: \"v1\"\r\n");

    ContentRange r;
    ASSERT_TRUE(parseContentRange(L"bytes 100-999/1000", r));
    EXPECT_EQ(r.first + r.last + r.total, 100u + 999u + 1000u);
    for (const wchar_t* bad : {L"bytes */1000", L"items 0-1/2", L"bytes 5-4/10", L"bytes 0-10/10", L"bytes 1-2/3x",
                               L"bytes 0-99999999999999999999/1"})
        EXPECT_FALSE(parseContentRange(bad, r)) << bad;

    EXPECT_EQ(proxyChallengeScheme(true, kAuthBasic | kAuthNtlm), kAuthBasic);
    EXPECT_EQ(proxyChallengeScheme(true, 0x20), 0u) << "only schemes WinHTTP does not know";
    EXPECT_EQ(proxyChallengeScheme(false, kAuthBasic), 0u) << "no Proxy-Authenticate at all";
}

struct ResumeCase {
    std::uint32_t status;
    bool asked;
    std::uint64_t knownTotal;
    const wchar_t* contentRange;
    std::int64_t contentLength;  // -1: none sent
    const wchar_t* etag;
    ResumeAction expected;
    const wchar_t* validator = L"\"v1\"";
    const wchar_t* lastModified = L"";
};

class ResumeDecision : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(ResumeDecision, AfterFourHundredBytesHeld)
{
    const ResumeCase& c = GetParam();
    FurtherAnswer answer;
    answer.status = c.status;
    answer.contentRange = c.contentRange;
    answer.lengthKnown = c.contentLength >= 0;
    answer.contentLength = c.contentLength >= 0 ? static_cast<std::uint64_t>(c.contentLength) : 0;
    answer.etag = c.etag;
    answer.lastModified = c.lastModified;
    EXPECT_EQ(decideResume(answer, c.asked, 400, c.knownTotal, c.validator), c.expected);
}

constexpr const wchar_t* kDate = L"Tue, 01 Dec 2026 10:00:00 GMT";
using RA = ResumeAction;
INSTANTIATE_TEST_SUITE_P(DownloadLogic, ResumeDecision, ::testing::Values(
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"\"v1\"", RA::Append},
    ResumeCase{206, true, 0, L"bytes 400-999/1000", 600, L" \"v1\" ", RA::Append},   // length learnt now
    ResumeCase{206, true, 1000, L"bytes 400-999/*", 600, L"\"v1\"", RA::Append},
    ResumeCase{206, true, 1000, L"bytes 400-499/1000", 100, L"\"v1\"", RA::Append},  // the rest asked for next
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"", RA::Append, kDate, kDate},
    ResumeCase{200, true, 1000, L"", -1, L"", RA::Truncate},                          // ignored, or changed
    ResumeCase{200, false, 1000, L"", -1, L"", RA::Truncate},                         // a restart from zero
    // A 206 that cannot be trusted to continue the file: asked for again, from zero.
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"", RA::Restart},        // no ETag repeated
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"\"v2\"", RA::Restart},  // another version
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"W/\"v1\"", RA::Restart},
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"", RA::Restart, kDate, L"Wed, 02 Dec 2026 10:00:00 GMT"},
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 600, L"", RA::Restart, kDate, L""},
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", -1, L"\"v1\"", RA::Restart},   // no length of its own
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 700, L"\"v1\"", RA::Restart},  // longer than it says
    ResumeCase{206, true, 1000, L"bytes 400-999/1000", 599, L"\"v1\"", RA::Restart},
    ResumeCase{206, true, 1000, L"bytes 400-1199/*", 800, L"\"v1\"", RA::Restart},    // past the known total
    ResumeCase{206, true, 1000, L"bytes 400-1199/1200", 800, L"\"v1\"", RA::Restart}, // another length
    ResumeCase{206, true, 1000, L"bytes 0-999/1000", 1000, L"\"v1\"", RA::Restart},   // not where the file ends
    ResumeCase{206, true, 1000, L"bytes 500-999/1000", 500, L"\"v1\"", RA::Restart},  // a gap
    ResumeCase{206, true, 1000, L"", 600, L"\"v1\"", RA::Restart},
    ResumeCase{206, false, 1000, L"bytes 400-999/1000", 600, L"\"v1\"", RA::Restart}, // never asked for a part
    ResumeCase{416, true, 1000, L"bytes */1000", -1, L"", RA::Fail},
    ResumeCase{404, true, 1000, L"", -1, L"", RA::Fail}));

TEST(DownloadLogic, SignerNameLiesInsideOneValue)
{
    EXPECT_TRUE(nameValueContains(L"Veltrane, Inc.", L"Veltrane, Inc"));
    EXPECT_TRUE(nameValueContains(L"VELTRANE, INC. Code Signing", L"Veltrane, Inc"));
    EXPECT_FALSE(nameValueContains(L"Veltrane", L"Veltrane, Inc"));
    EXPECT_FALSE(nameValueContains(L"Veltrane Inc", L"Veltrane, Inc"));
    EXPECT_FALSE(nameValueContains(L"Veltrane, \u0130nc", L"Veltrane, Inc")) << "only ASCII letters fold";
}
