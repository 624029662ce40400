// Proxy-list parsing: plain and tagged lists, default ports, IPv6 entries and the log lines that
// tell an operator why a list gave no proxy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "debug_capture.h"
#include "proxymanager/proxy_list.h"

using namespace VELT::ProxyManager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace VELT {
namespace ProxyManager {
bool operator==(const ProxyCandidate& a, const ProxyCandidate& b)
{
    return a.server == b.server && a.serverPort == b.serverPort;
}
void PrintTo(const ProxyCandidate& c, std::ostream* os) { *os << "(" << c.server << ", " << c.serverPort << ")"; }
}  // namespace ProxyManager
}  // namespace VELT

namespace {

struct Parsed {
    bool ok;
    std::vector<ProxyCandidate> candidates;
};

Parsed parse(const std::string& url, const std::wstring& list)
{
    Parsed p;
    p.ok = FetchServerInfoForUrl(url, list, p.candidates);
    return p;
}

ProxyCandidate C(const char* host, const char* port) { return {host, port}; }

TEST(ProxyListTest, PlainEntryAndDefaultPortsFollowTheTargetScheme)
{
    EXPECT_THAT(parse("http://example.com/x", L"proxy:8080").candidates, ElementsAre(C("proxy", "8080")));
    EXPECT_THAT(parse("https://example.com/x", L"proxy").candidates, ElementsAre(C("proxy", "443")));
    EXPECT_THAT(parse("ftp://example.com/x", L"proxy").candidates, ElementsAre(C("proxy", "21")));
    EXPECT_THAT(parse("socks://example.com", L"proxy").candidates, ElementsAre(C("proxy", "1080")));
    EXPECT_THAT(parse("http://example.com", L"proxy").candidates, ElementsAre(C("proxy", "80")));
    // Unknown schemes and text that is no URL fall back to https.
    EXPECT_THAT(parse("gopher://example.com", L"proxy").candidates, ElementsAre(C("proxy", "443")));
    EXPECT_THAT(parse("example.com", L"proxy").candidates, ElementsAre(C("proxy", "443")));
    // The target scheme is matched in any letter case.
    EXPECT_THAT(parse("HTTP://example.com", L"proxy").candidates, ElementsAre(C("proxy", "80")));
}

TEST(ProxyListTest, TaggedListGivesThePartOfTheTargetScheme)
{
    const std::wstring list = L"http=p1:80;https=p2:443";
    EXPECT_THAT(parse("http://a/", list).candidates, ElementsAre(C("p1", "80")));
    EXPECT_THAT(parse("https://a/", list).candidates, ElementsAre(C("p2", "443")));
    EXPECT_THAT(parse("https://a/", L"https://p2:8443").candidates, ElementsAre(C("p2", "8443")));
    EXPECT_THAT(parse("http://a/", L"HTTP=p1:80").candidates, ElementsAre(C("p1", "80")));
    EXPECT_THAT(parse("ftp://a/", L"http=p1:80;ftp=f1;https=p2:443").candidates, ElementsAre(C("f1", "21")));
    // Several entries under one tag stay together.
    EXPECT_THAT(parse("http://a/", L"http=p1:80;p3:81;https=p2").candidates,
                ElementsAre(C("p1", "80"), C("p3", "81")));
}

TEST(ProxyListTest, TaggedListWithoutTheTargetSchemeIsUnusableButNotAnError)
{
    pmtest::DebugCapture capture;
    Parsed p = parse("ftp://a/", L"http=p1:80;https=p2:443");
    EXPECT_FALSE(p.ok);
    EXPECT_THAT(p.candidates, IsEmpty());
    EXPECT_THAT(capture.linesWithLevel("[ERROR]"), IsEmpty());
}

TEST(ProxyListTest, ExhaustedTaggedListLogsTheFormatError)
{
    // The text after the last tag is consumed and no tag is left to search for.
    std::wstring list = L"http=";
    pmtest::DebugCapture capture;
    EXPECT_FALSE(ExtractServerData(L"https", list));
    EXPECT_THAT(capture.linesWithLevel("[ERROR]"),
                ElementsAre("Failed to detect correct proxy server info of format like 'https://' or 'https='\n"));
}

TEST(ProxyListTest, EmptyEntriesArePassedOverWithOneDebugLine)
{
    pmtest::DebugCapture capture;
    Parsed p = parse("http://a/", L"p1:80;;p2:81");
    EXPECT_TRUE(p.ok);
    EXPECT_THAT(p.candidates, ElementsAre(C("p1", "80"), C("p2", "81")));
    int skipped = 0;
    for (const std::string& line : capture.linesWithLevel("[DEBUG]")) {
        if (line == "Failed while splitting proxy: '' into proxy server and port\n") ++skipped;
    }
    EXPECT_EQ(skipped, 1);
}

TEST(ProxyListTest, Ipv6EntriesKeepTheirColons)
{
    EXPECT_THAT(parse("http://a/", L"[fe80::1]:8080").candidates, ElementsAre(C("[fe80::1]", "8080")));
    EXPECT_THAT(parse("http://a/", L"[fe80::1]").candidates, ElementsAre(C("[fe80::1]", "80")));
    EXPECT_THAT(parse("http://a/", L"fe80::1").candidates, ElementsAre(C("fe80::1", "80")));
}

TEST(ProxyListTest, UnusualEntriesAreTakenAsTheyStand)
{
    EXPECT_THAT(parse("http://a/", L"p1:").candidates, ElementsAre(C("p1", "80")));
    // Blanks do not separate entries: three parts, no bracket, so all of it is the host.
    EXPECT_THAT(parse("http://a/", L"p1:80 p2:80").candidates, ElementsAre(C("p1:80 p2:80", "80")));
    // A plain entry first makes the whole list plain.
    EXPECT_THAT(parse("http://a/", L"p0:80;http=p1:80").candidates,
                ElementsAre(C("p0", "80"), C("http=p1", "80")));
    EXPECT_THAT(parse("http://a/", L" p1 : x ").candidates, ElementsAre(C(" p1 ", " x ")));
    // Non-ASCII host names survive as UTF-8.
    EXPECT_THAT(parse("http://a/", L"pr\u00f6xy:3128").candidates, ElementsAre(C("pr\xc3\xb6xy", "3128")));
}

TEST(ProxyListTest, EmptyListsAreRefusedWithTheirErrorLines)
{
    {
        pmtest::DebugCapture capture;
        EXPECT_FALSE(parse("http://a/", L"").ok);
        EXPECT_THAT(capture.linesWithLevel("[ERROR]"), ElementsAre("Proxy server info is empty!\n"));
    }
    {
        pmtest::DebugCapture capture;
        Parsed p = parse("http://a/", L"http=");
        EXPECT_FALSE(p.ok);
        EXPECT_THAT(capture.linesWithLevel("[ERROR]"),
                    ElementsAre("Failed while splitting proxy server collection: '' into vector of proxy server\n"));
    }
}

TEST(ProxyListTest, ListOfOnlySeparatorsParsesButYieldsNoCandidate)
{
    // The driver turns this into a failure; parsing itself accepts it.
    Parsed p = parse("http://a/", L";;");
    EXPECT_TRUE(p.ok);
    EXPECT_THAT(p.candidates, IsEmpty());
}

TEST(ProxyListTest, SplitByDelimiterRules)
{
    std::vector<std::wstring> parts;
    EXPECT_FALSE(SplitByDelimiter(L"", L';', parts));
    EXPECT_FALSE(SplitByDelimiter(L"a;b", L'\0', parts));
    EXPECT_THAT(parts, IsEmpty());
    EXPECT_TRUE(SplitByDelimiter(L"a;;b;", L';', parts));
    EXPECT_THAT(parts, ElementsAre(L"a", L"", L"b"));
    parts = {L"kept"};
    EXPECT_TRUE(SplitByDelimiter(L";", L';', parts));
    EXPECT_THAT(parts, ElementsAre(L"kept", L""));
}

TEST(ProxyListTest, InvalidTargetUrlRaisesBadConversion)
{
    std::vector<ProxyCandidate> candidates;
    try {
        FetchServerInfoForUrl("http://\xff\xfe/", L"p:1", candidates);
        FAIL() << "expected std::range_error";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "bad conversion");
    }
}

}  // namespace

namespace {

TEST(ProxyListTest, ListsOfAMillionCharactersParseWhole)
{
    // No length limit: a long entry is kept whole, and a list of many tags is walked once.
    const std::wstring longEntry = L"http=" + std::wstring(1000000, L'a');
    Parsed p = parse("http://a/", longEntry);
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.candidates.size(), 1u);
    EXPECT_EQ(p.candidates[0].server.size(), 1000000u);

    std::wstring manyTags = L"http=";
    for (int i = 0; i < 250000; ++i) manyTags += L"ftp=";
    EXPECT_THAT(parse("https://a/", manyTags + L"https=p:1").candidates, ElementsAre(C("p", "1")));
    EXPECT_FALSE(parse("https://a/", manyTags).ok);
}

TEST(ProxyListTest, VeryLongTargetUrlKeepsItsScheme)
{
    const std::string url = "http://example.com/" + std::string(100000, 'x');
    EXPECT_THAT(parse(url, L"p").candidates, ElementsAre(C("p", "80")));
}

}  // namespace

namespace {

// The list syntax is defined by two ECMAScript expressions (case-insensitive); the parser
// matches them by hand. These are the expressions themselves, as the reference.
const std::wregex kTargetUrl(L"(http|https|ftp|socks)(://)(.*)", std::regex::ECMAScript | std::regex::icase);
const std::wregex kTagged(L"(http|https|ftp|socks)(=|://)(.*)", std::regex::ECMAScript | std::regex::icase);

std::wstring referenceServerType(const std::wstring& url)
{
    std::wsmatch m;
    if (!std::regex_match(url, m, kTargetUrl)) return L"https";
    const std::wstring scheme = m[1].str();
    for (const wchar_t* word : {L"http", L"ftp", L"socks"}) {
        if (EqualsIgnoreCase(scheme, word)) return word;
    }
    return L"https";
}

bool referenceExtract(const std::wstring& serverType, std::wstring& list)
{
    if (!std::regex_match(list, kTagged)) return true;
    for (;;) {
        std::wsmatch m;
        if (!std::regex_search(list, m, kTagged)) return false;
        const std::wstring scheme = m[1].str();
        list = m[3].str();
        if (EqualsIgnoreCase(scheme, serverType)) {
            list = std::regex_replace(list, kTagged, L"");
            return true;
        }
    }
}

TEST(ProxyListTest, MatcherAgreesWithTheDefiningExpressions)
{
    // Pieces chosen to meet every subtle point: ordered alternatives ("http" before "https"),
    // letter case, "=" against "://", separators cut short, tags in mid-text, and the line
    // terminators at which the greedy third group stops.
    const std::vector<std::wstring> pieces = {
        L"http", L"https", L"HTTPS", L"hTtP", L"ftp", L"FTP", L"socks", L"SoCkS", L"sock", L"htt",
        L"=", L"://", L":/", L":", L"/", L";", L"p1", L"80", L"s", L"x", L" ", L"\n", L"\r",
        L"\u2028", L"\u2029", L"\u00e9", L"\t"};
    std::mt19937 random(20261209);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 9);
    for (int i = 0; i < 20000; ++i) {
        std::wstring text;
        for (int n = length(random); n > 0; --n) text += pieces[pick(random)];

        std::wstring serverType;
        std::string port;
        GetServerTypeStrAndDefaultPort(text, serverType, port);
        ASSERT_EQ(serverType, referenceServerType(text)) << "url #" << i;

        for (const wchar_t* type : {L"http", L"https", L"ftp", L"socks"}) {
            std::wstring actual = text;
            std::wstring expected = text;
            const bool ok = ExtractServerData(type, actual);
            ASSERT_EQ(ok, referenceExtract(type, expected)) << "list #" << i;
            ASSERT_EQ(actual, expected) << "list #" << i;
        }
    }
}

struct SubtleCase {
    const char* url;
    const wchar_t* list;
    std::vector<ProxyCandidate> expected;
};

class ProxyListSubtleTest : public ::testing::TestWithParam<SubtleCase> {};

TEST_P(ProxyListSubtleTest, GivesTheCandidatesOfTheExpressions)
{
    EXPECT_THAT(parse(GetParam().url, GetParam().list).candidates, ::testing::ContainerEq(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    ProxyList, ProxyListSubtleTest,
    ::testing::Values(
        // Letter case of tag and target.
        SubtleCase{"HtTpS://a/", L"hTtPs://p2:8443", {C("p2", "8443")}},
        SubtleCase{"socks://a/", L"SOCKS=s1", {C("s1", "1080")}},
        // "http" is tried before "https": "https=" still reads as the https tag.
        SubtleCase{"http://a/", L"https=p2;http=p1", {C("p1", "80")}},
        // The third group runs to the end; later tags cut it wherever they stand.
        SubtleCase{"http://a/", L"http=p1;ftp=f1;http=p3", {C("p1", "80")}},
        SubtleCase{"http://a/", L"ftp=f1;http=p1:80;https=p2", {C("p1", "80")}},
        SubtleCase{"http://a/", L"http=p1;xftp=f1", {C("p1", "80"), C("x", "80")}},
        // "://" and "=" both separate; a tag inside an entry is cut as well.
        SubtleCase{"http://a/", L"http://p1:80", {C("p1", "80")}},
        SubtleCase{"http://a/", L"http=p1:80;https://p2", {C("p1", "80")}},
        SubtleCase{"http://a/", L"http:/p1", {C("http", "/p1")}},
        // A line break in the list: the whole-list expression fails, so it is a plain list.
        SubtleCase{"http://a/", L"http=p1:80\nhttps=p2", {C("http=p1", "80\nhttps=p2")}},
        // A line break in the target URL: no match, so the https defaults.
        SubtleCase{"http://a/\r", L"p", {C("p", "443")}}));

}  // namespace
