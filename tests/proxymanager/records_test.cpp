// The records, the base class's input check and reset, the release operation and the two text
// conversions.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "proxymanager/auth_scheme.h"
#include "proxymanager/proxy_manager.h"
#include "proxymanager/proxy_manager_impl.h"
#include "proxymanager/text_convert.h"

using namespace VELT::ProxyManager;

namespace {

// Only the input check and the reset are under test here.
class CheckOnlyManager : public ProxyManagerImpl {
public:
    PMStatus GetProxyInfo(const UserData*, ProxyResult*) override { return PM_STATUS_FAILURE; }
};

char* heapText(const char* text)
{
    char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
    std::strcpy(copy, text);
    return copy;
}

TEST(RecordsTest, FieldsAreInTheirDocumentedOrder)
{
    static_assert(offsetof(UserData, url) < offsetof(UserData, user), "");
    static_assert(offsetof(UserData, user) < offsetof(UserData, password), "");
    static_assert(offsetof(UserData, password) < offsetof(UserData, silentMode), "");
    static_assert(sizeof(UserData::silentMode) == 1, "");
    static_assert(offsetof(ProxyResult, user) == 0, "");
    static_assert(offsetof(ProxyResult, password) == sizeof(char*), "");
    static_assert(offsetof(ProxyResult, server) == 2 * sizeof(char*), "");
    static_assert(offsetof(ProxyResult, serverPort) == 3 * sizeof(char*), "");
    static_assert(offsetof(ProxyResult, authScheme) == 4 * sizeof(char*), "");
    static_assert(sizeof(ProxyResult::authScheme) == 4, "");
    static_assert(sizeof(PMStatus) == 4 && PMStatus(-1) < 0, "");
    EXPECT_EQ(PM_STATUS_SUCCESS, 0);
    EXPECT_EQ(PM_STATUS_NO_PROXY, 1);
    EXPECT_EQ(PM_STATUS_FAILURE, 2);
    EXPECT_EQ(PM_STATUS_INVALID_INPUT, 4);
    EXPECT_EQ(PM_STATUS_USER_CANCELLED, 5);
    EXPECT_EQ(PM_STATUS_SILENT_MODE_ERROR, 6);
}

TEST(RecordsTest, ValidateInputResetsAndChecksTheUrl)
{
    CheckOnlyManager manager;
    char garbage[] = "garbage";
    ProxyResult out = {garbage, garbage, garbage, garbage, 99};
    UserData in = {};
    EXPECT_EQ(manager.ValidateInput(&in, &out), PM_STATUS_INVALID_INPUT);
    EXPECT_EQ(out.user, nullptr);
    EXPECT_EQ(out.password, nullptr);
    EXPECT_EQ(out.server, nullptr);
    EXPECT_EQ(out.serverPort, nullptr);
    EXPECT_EQ(out.authScheme, 0u);

    in.url = "";
    out.server = garbage;
    EXPECT_EQ(manager.ValidateInput(&in, &out), PM_STATUS_INVALID_INPUT);
    EXPECT_EQ(out.server, nullptr);

    in.url = "x";  // user and password may stay null
    out.authScheme = 3;
    EXPECT_EQ(manager.ValidateInput(&in, &out), PM_STATUS_SUCCESS);
    EXPECT_EQ(out.authScheme, 0u);
}

TEST(RecordsTest, ReleaseFreesEveryStringOnceAndAcceptsResetRecords)
{
    veltReleaseProxyInfo(nullptr);
    ProxyResult out = {heapText("u"), heapText("p"), heapText("s"), heapText("8080"), 4};
    veltReleaseProxyInfo(&out);
    EXPECT_EQ(out.user, nullptr);
    EXPECT_EQ(out.password, nullptr);
    EXPECT_EQ(out.server, nullptr);
    EXPECT_EQ(out.serverPort, nullptr);
    EXPECT_EQ(out.authScheme, 0u);
    veltReleaseProxyInfo(&out);  // a second release is harmless (ASan would see a double free)

    ProxyResult reset = {nullptr, nullptr, nullptr, nullptr, 7};
    veltReleaseProxyInfo(&reset);
    EXPECT_EQ(reset.authScheme, 0u);
}

TEST(TextConvertTest, RoundTripsAndRefusesInvalidText)
{
    EXPECT_EQ(ToWide(""), L"");
    EXPECT_EQ(ToUtf8(L""), "");
    const std::string longText(300, 'k');
    for (const char* text : {"", "plain", "p\xc3\xa4ss\xe2\x82\xac", "\xf0\x9f\x94\x91 key", "a\\b:c", longText.c_str()}) {
        EXPECT_EQ(ToUtf8(ToWide(text)), text);
        // The password conversions give exactly what the plain ones give, over any old value.
        std::wstring wide = L"an older and rather longer secret value";
        std::string narrow = "an older and rather longer secret value";
        ToWideSecret(text, wide);
        EXPECT_EQ(wide, ToWide(text));
        ToUtf8Secret(wide, narrow);
        EXPECT_EQ(narrow, text);
    }
    EXPECT_EQ(ToWide("\xc3\xa4\xe2\x82\xac"), L"\u00e4\u20ac");
    for (const char* bad : {"\xff", "abc\xc3", "\xc3\x28", "\xe2\x82"}) {
        try {
            ToWide(bad);
            ADD_FAILURE() << "no error for invalid UTF-8";
        } catch (const std::range_error& e) {
            EXPECT_STREQ(e.what(), "bad conversion");
        }
        std::wstring out = L"old";
        EXPECT_THROW(ToWideSecret(bad, out), std::range_error);
        EXPECT_EQ(out, L"");  // the old value does not survive a failed conversion
    }
}

TEST(TextConvertTest, Utf8BoundariesFollowTheStandardFacets)
{
    // Shortest and longest forms of each length, overlong forms, the top of the code space, and
    // encoded surrogates, which the standard library's UTF-8 facets pass through as one unit.
    struct Case {
        const char* utf8;
        std::u32string code;  // empty: refused
    };
    const Case cases[] = {
        {"\x7f", U"\x7f"},         {"\xc2\x80", U"\x80"},       {"\xdf\xbf", U"\x7ff"},
        {"\xe0\xa0\x80", U"\x800"}, {"\xef\xbf\xbf", U"\xffff"}, {"\xed\xa0\x80", U"\xd800"},
        {"\xf0\x90\x80\x80", U"\x10000"}, {"\xf4\x8f\xbf\xbf", U"\x10ffff"},
        {"\xc0\x80", U""},         {"\xc1\xbf", U""},         {"\xe0\x9f\xbf", U""},
        {"\xf0\x8f\xbf\xbf", U""}, {"\xf4\x90\x80\x80", U""}, {"\xf5\x80\x80\x80", U""},
        {"\x80", U""},              {"\xe2\x28\xa1", U""},     {"\xf0\x90\x80", U""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        try {
            const std::wstring wide = ToWide(c.utf8);
            ASSERT_FALSE(c.code.empty()) << "accepted";
            if (sizeof(wchar_t) == 4 || c.code[0] <= 0xFFFF) {
                EXPECT_EQ(wide, std::wstring(1, static_cast<wchar_t>(c.code[0])));
            } else {
                EXPECT_EQ(wide.size(), 2u);
            }
            if (c.code[0] < 0xD800 || c.code[0] > 0xDFFF) EXPECT_EQ(ToUtf8(wide), c.utf8);
        } catch (const std::range_error& e) {
            EXPECT_TRUE(c.code.empty()) << "refused";
            EXPECT_STREQ(e.what(), "bad conversion");
        }
    }
}

TEST(AuthSchemeTest, FirstMatchingRowDecides)
{
    struct Row {
        std::uint32_t offered, chosen, reported;
    };
    const Row rows[] = {
        {0x10, 2, 4}, {0x12, 2, 4}, {0x1F, 2, 4}, {0x02, 2, 4}, {0x0B, 2, 4},
        {0x08, 8, 2}, {0x09, 8, 2}, {0x01, 1, 1}, {0x05, 1, 1},
        {0x00, 0, 0}, {0x04, 0, 0}, {0x20, 0, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ChooseAuthScheme(row.offered), row.chosen) << row.offered;
        EXPECT_EQ(ToResultAuthScheme(row.offered), row.reported) << row.offered;
    }
}

TEST(AuthSchemeTest, DialogNameQualifiedWithTheProxyHostIsUsedBare)
{
    EXPECT_EQ(ComposeDialogUser(L"127.0.0.1", L"alice", L"127.0.0.1"), L"alice");
    EXPECT_EQ(ComposeDialogUser(L"PROXY.corp", L"alice", L"proxy.CORP"), L"alice");
    EXPECT_EQ(ComposeDialogUser(L"CORP", L"alice", L"proxy.corp"), L"CORP\\alice");
    EXPECT_EQ(ComposeDialogUser(L"proxy", L"alice", L"proxy.corp"), L"proxy\\alice");
    // No domain part at all (a user@realm name): no lone backslash in front.
    EXPECT_EQ(ComposeDialogUser(L"", L"alice@corp", L"proxy"), L"alice@corp");
}

}  // namespace
