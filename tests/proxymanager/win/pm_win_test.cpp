// Windows unit tests of the proxy manager, run under Wine: the real Credential Manager, the real
// CRT formatting and environment, system error texts, and the entry's input checks.
#include <windows.h>
#include <wincred.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "debug_capture.h"
#include "proxymanager/credential_store.h"
#include "proxymanager/diagnostics.h"
#include "proxymanager/diagnostics_win.h"
#include "proxymanager/proxy_manager.h"
#include "proxymanager/proxy_manager_win.h"
#include "proxymanager/text_convert.h"

using namespace VELT::ProxyManager;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

const std::string kPrefix = "Veltrane   VeltProxyManager   ";

// Targets unique to this run, removed again afterwards.
class CredentialStoreTest : public ::testing::Test {
protected:
    std::wstring target(const wchar_t* name)
    {
        std::wstring t = L"pm-win-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + name;
        targets_.push_back(t);
        return t;
    }
    void TearDown() override
    {
        for (const std::wstring& t : targets_) ::CredDeleteW(t.c_str(), CRED_TYPE_GENERIC, 0);
    }

private:
    std::vector<std::wstring> targets_;
};

TEST_F(CredentialStoreTest, RoundTripKeepsNonAsciiPasswordAndDomainUser)
{
    const std::wstring t = target(L"roundtrip");
    const std::wstring password = L"p\u00e4ss \u20ac\u65e5\U0001F511";
    pmtest::DebugCapture capture;
    ASSERT_TRUE(StoreCredentials(t, L"CORP\\alice", password));
    std::wstring user = L"before", loaded = L"before";
    ASSERT_TRUE(LoadCredentials(t, user, loaded));
    EXPECT_EQ(user, L"CORP\\alice");
    EXPECT_EQ(loaded, password);
    const std::string target8 = ToUtf8(t);
    EXPECT_THAT(capture.linesWithLevel("[INFO]"),
                ElementsAre("Performing 'StoreCredentials' for proxy server:" + target8 + " with user:CORP\\alice\n",
                            "Successfully stored credential.\n",
                            "Performing 'LoadCredentials' for proxy server:" + target8 + " with user:before\n",
                            "Successfully loaded credential.\n"));
    for (const std::string& line : capture.lines()) EXPECT_EQ(line.find("ss \xe2\x82\xac"), std::string::npos);

    // The platform record is exactly what other tools see: generic, UTF-16 blob without a NUL.
    PCREDENTIALW raw = nullptr;
    ASSERT_TRUE(::CredReadW(t.c_str(), CRED_TYPE_GENERIC, 0, &raw));
    EXPECT_EQ(raw->CredentialBlobSize, password.size() * 2);
    EXPECT_EQ(raw->Persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
    ::CredFree(raw);
}

TEST_F(CredentialStoreTest, StoringAgainReplacesAndEmptyPasswordIsAZeroLengthBlob)
{
    const std::wstring t = target(L"replace");
    ASSERT_TRUE(StoreCredentials(t, L"alice", L"one"));
    ASSERT_TRUE(StoreCredentials(t, L"bob", L""));
    std::wstring user, password = L"stale";
    ASSERT_TRUE(LoadCredentials(t, user, password));
    EXPECT_EQ(user, L"bob");
    EXPECT_EQ(password, L"");
}

TEST_F(CredentialStoreTest, MissingEntryLeavesOutputsAlone)
{
    const std::wstring t = target(L"never-stored");
    pmtest::DebugCapture capture;
    std::wstring user = L"u", password = L"p";
    EXPECT_FALSE(LoadCredentials(t, user, password));
    EXPECT_EQ(user, L"u");
    EXPECT_EQ(password, L"p");
    EXPECT_THAT(capture.linesWithLevel("[DEBUG]"), ElementsAre("No credential found.\n"));
    EXPECT_FALSE(LoadCredentials(L"", user, password));
}

TEST_F(CredentialStoreTest, EmptyUserOrTargetIsRefusedWithOnlyTheAnnouncement)
{
    const std::wstring t = target(L"empty-user");
    pmtest::DebugCapture capture;
    EXPECT_FALSE(StoreCredentials(t, L"", L"secret"));
    EXPECT_THAT(capture.lines(),
                ElementsAre(kPrefix + "[INFO]   Performing 'StoreCredentials' for proxy server:" + ToUtf8(t) +
                            " with user:\n"));
    EXPECT_FALSE(StoreCredentials(L"", L"alice", L"secret"));
    PCREDENTIALW raw = nullptr;
    EXPECT_FALSE(::CredReadW(t.c_str(), CRED_TYPE_GENERIC, 0, &raw));
}

TEST_F(CredentialStoreTest, EntryWithoutUserNameIsNotUsed)
{
    const std::wstring t = target(L"no-user");
    CREDENTIALW credential = {};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t*>(t.c_str());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    wchar_t secret[] = L"x";
    credential.CredentialBlob = reinterpret_cast<BYTE*>(secret);
    credential.CredentialBlobSize = 2;
    ASSERT_TRUE(::CredWriteW(&credential, 0));
    std::wstring user = L"u", password = L"p";
    EXPECT_FALSE(LoadCredentials(t, user, password));
    EXPECT_EQ(user, L"u");
}

TEST(WinDiagnosticsTest, CrtFormattingTakesWideStringsAndCutsLongMessages)
{
    pmtest::DebugCapture capture;
    DebugLog(LOG_DEBUG, L"Trying %lu authentication scheme although proxy server supports %lu authentication scheme",
             2ul, 18ul);
    DebugLog(LOG_INFO, L"Input:%s", L"h\u00f6st");
    DebugLog(LOG_INFO, L"%s", std::wstring(3000, L'x').c_str());
    DebugLogA(LOG_INFO, "%s", std::string(3000, 'y').c_str());
    ASSERT_EQ(capture.lines().size(), 4u);
    EXPECT_EQ(capture.lines()[0], kPrefix + "[DEBUG]   Trying 2 authentication scheme although proxy server supports "
                                            "18 authentication scheme\n");
    EXPECT_EQ(capture.lines()[1], kPrefix + "[INFO]   Input:h\xc3\xb6st\n");
    EXPECT_EQ(capture.lines()[2], kPrefix + "[INFO]   " + std::string(1023, 'x') + "\n");
    EXPECT_EQ(capture.lines()[3], kPrefix + "[INFO]   " + std::string(1023, 'y') + "\n");
}

TEST(WinDiagnosticsTest, ApiFailureLineCarriesCodeAndSystemText)
{
    const std::wstring accessDenied = GetSystemErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(accessDenied.empty());
    EXPECT_EQ(GetSystemErrorText(0x2FFFFFFF), L"");

    pmtest::DebugCapture capture;
    ::SetLastError(ERROR_ACCESS_DENIED);
    ReportApiFailure(L"WinHttpSetOption");
    ::SetLastError(0x2FFFFFFF);
    ReportApiFailure(L"WinHttpOpen");
    EXPECT_THAT(capture.linesWithLevel("[ERROR]"),
                ElementsAre("WinHttpSetOption() API failed. Error:5 Description:" + ToUtf8(accessDenied) + "\n",
                            "WinHttpOpen() API failed. Error:805306367 Description:\n"));
}

TEST(WinDiagnosticsTest, EnvironmentValuesAreReadThroughTheCrt)
{
    _wputenv_s(L"PM_WIN_TEST_FLAG", L"tRUE");
    EXPECT_EQ(ReadEnvironmentValue(L"PM_WIN_TEST_FLAG"), L"tRUE");
    EXPECT_TRUE(ReadBoolEnvironmentFlag(L"PM_WIN_TEST_FLAG", false));
    _wputenv_s(L"PM_WIN_TEST_FLAG", L"false");
    EXPECT_FALSE(ReadBoolEnvironmentFlag(L"PM_WIN_TEST_FLAG", true));
    _wputenv_s(L"PM_WIN_TEST_FLAG", L"no");
    EXPECT_TRUE(ReadBoolEnvironmentFlag(L"PM_WIN_TEST_FLAG", true));
    EXPECT_EQ(ReadEnvironmentValue(L""), L"");
    EXPECT_EQ(ReadEnvironmentValue(L"PM_WIN_TEST_UNSET_VARIABLE"), L"");
    EXPECT_TRUE(ReadBoolEnvironmentFlag(L"PM_WIN_TEST_UNSET_VARIABLE", true));

    // 1023 characters fit the reader's buffer with its terminator; 1024 do not and read empty.
    _wputenv_s(L"PM_WIN_TEST_FLAG", std::wstring(1023, L'v').c_str());
    EXPECT_EQ(ReadEnvironmentValue(L"PM_WIN_TEST_FLAG").size(), 1023u);
    _wputenv_s(L"PM_WIN_TEST_FLAG", std::wstring(1024, L'v').c_str());
    EXPECT_EQ(ReadEnvironmentValue(L"PM_WIN_TEST_FLAG"), L"");
}

TEST(WinTextConvertTest, SurrogatePairsConvertAndLoneSurrogatesAreRefused)
{
    static_assert(sizeof(wchar_t) == 2, "UTF-16 wide text");
    EXPECT_EQ(ToWide("\xf0\x9f\x94\x91"), std::wstring(L"\xD83D\xDD11"));
    EXPECT_EQ(ToUtf8(L"\xD83D\xDD11"), "\xf0\x9f\x94\x91");
    // A lone surrogate anywhere, or a high one followed by anything but a low one.
    for (const std::wstring& bad : {std::wstring(L"\xD800"), std::wstring(L"a\xDC00"), std::wstring(L"\xD83Dx"),
                                   std::wstring(L"x\xD83D")}) {
        try {
            ToUtf8(bad);
            ADD_FAILURE() << "lone surrogate converted";
        } catch (const std::range_error& e) {
            EXPECT_STREQ(e.what(), "bad conversion");
        }
    }
}

TEST(WinEntryTest, NullRecordsGiveInvalidInputWithoutAnyLine)
{
    pmtest::DebugCapture capture;
    ProxyResult out = {};
    UserData in = {};
    in.url = "http://example.com/";
    EXPECT_EQ(veltGetProxyInfo(nullptr, &out), PM_STATUS_INVALID_INPUT);
    EXPECT_EQ(veltGetProxyInfo(&in, nullptr), PM_STATUS_INVALID_INPUT);
    EXPECT_THAT(capture.lines(), IsEmpty());
}

TEST(WinEntryTest, EmptyUrlResetsTheResultAndReportsFour)
{
    pmtest::DebugCapture capture;
    char garbage[] = "garbage";
    ProxyResult out = {garbage, garbage, garbage, garbage, 9};
    UserData in = {};
    in.url = "";
    EXPECT_EQ(veltGetProxyInfo(&in, &out), PM_STATUS_INVALID_INPUT);
    EXPECT_EQ(out.server, nullptr);
    EXPECT_EQ(out.user, nullptr);
    EXPECT_EQ(out.authScheme, 0u);
    EXPECT_THAT(capture.lines(), ElementsAre(kPrefix + "[INFO]   Performing 'GetProxyInfo' API ...\n",
                                             kPrefix + "[ERROR]   Input data 'UserData.url' is NULL or empty!\n",
                                             kPrefix + "[INFO]   PMStatus:4\n"));
    veltReleaseProxyInfo(&out);
}

TEST(WinProbeTest, EmptyUrlOrProxyNameIsInvalidInput)
{
    pmtest::DebugCapture capture;
    ProxyManagerImplWin manager;
    manager.url = "http://example.com/";
    EXPECT_EQ(manager.CheckAuthenticatingProxy(false), PM_STATUS_INVALID_INPUT);
    manager.url.clear();
    manager.proxyName = L"127.0.0.1:1";
    EXPECT_EQ(manager.CheckAuthenticatingProxy(false), PM_STATUS_INVALID_INPUT);
    EXPECT_THAT(capture.linesWithLevel("[ERROR]"),
                ElementsAre("URL or Proxy server is empty!\n", "URL or Proxy server is empty!\n"));
}

TEST(WinProbeTest, UncrackableUrlFailsBeforeAnyRequest)
{
    pmtest::DebugCapture capture;
    ProxyManagerImplWin manager;
    manager.proxyName = L"127.0.0.1:1";
    // The host name does not fit the 256-character buffer.
    manager.url = "http://" + std::string(300, 'h') + "/";
    EXPECT_EQ(manager.CheckAuthenticatingProxy(false), PM_STATUS_FAILURE);
    manager.url = "not a url";
    EXPECT_EQ(manager.CheckAuthenticatingProxy(false), PM_STATUS_FAILURE);
    const auto errors = capture.linesWithLevel("[ERROR]");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_THAT(errors[0], StartsWith("WinHttpCrackUrl() API failed. Error:"));
    EXPECT_THAT(errors[1], StartsWith("WinHttpCrackUrl() API failed. Error:"));
}

TEST(WinDiscoveryTest, AutoDetectWithoutSourceIsRefused)
{
    pmtest::DebugCapture capture;
    ProxyManagerImplWin manager;
    manager.url = "http://example.com/";
    bool autoDetect = false;
    std::wstring list = L"unchanged";
    EXPECT_FALSE(manager.AutoDetectProxyInfo(autoDetect, L"", list));
    EXPECT_THAT(capture.linesWithLevel("[ERROR]"),
                ElementsAre("Automatically detect proxy settings is not selected or PAC URL is empty!\n"));
}

}  // namespace
