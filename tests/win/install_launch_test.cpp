// Registry reading, process start and termination against the real registry and real processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <json/json.h>

#include <chrono>
#include <thread>

#include "app/bootstrap_log.h"
#include "flow/install_launch.h"
#include "flow/installed_version.h"
#include "flow/processes.h"
#include "win_test_support.h"

using namespace velt;
using namespace velt::test;

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Veltrane\\Veltrane Application Manager";

class AppKey : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
    void set(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void setText(const wchar_t* name, const std::wstring& text)
    {
        set(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
};

// Captures log lines written during a test.
class LogFile {
public:
    explicit LogFile(const wchar_t* name) : path_(makeTempFolder(L"installlog") + name)
    {
        DeleteFileW(path_.c_str());
        openBootstrapLog(path_);
    }
    ~LogFile() { closeBootstrapLog(); }
    std::string text() { return readFileBytes(path_); }

private:
    std::wstring path_;
};

// Where fakeapp records its runs.
class Record {
public:
    Record() : path_(makeTempFolder(L"record") + L"runs.jsonl")
    {
        DeleteFileW(path_.c_str());
        SetEnvironmentVariableW(L"VELT_FAKE_RECORD", path_.c_str());
    }
    ~Record()
    {
        SetEnvironmentVariableW(L"VELT_FAKE_RECORD", nullptr);
        SetEnvironmentVariableW(L"VELT_FAKE_SLEEP_MS", nullptr);
    }
    std::vector<Json::Value> runs()
    {
        std::vector<Json::Value> out;
        const std::string text = readFileBytes(path_);
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            Json::Value v;
            Json::Reader().parse(text.substr(start, nl - start), v);
            out.push_back(v);
        }
        return out;
    }

private:
    std::wstring path_;
};

std::wstring copyFakeApp(const std::wstring& folder, const wchar_t* name)
{
    const std::wstring target = folder + name;
    CopyFileW((binFolder() + L"fakeapp.exe").c_str(), target.c_str(), FALSE);
    return target;
}

}  // namespace

TEST_F(AppKey, VersionAndLocationAsRecorded)
{
    EXPECT_EQ(getInstalledVersion(), "");  // no key at all
    EXPECT_EQ(getInstallLocation(), L"");
    setText(L"Version", L"1.9.9.9");
    setText(L"Location", L"C:\\Program Files\\Veltrane\\");
    EXPECT_EQ(getInstalledVersion(), "1.9.9.9");
    EXPECT_EQ(getInstallLocation(), L"C:\\Program Files\\Veltrane\\");
}

TEST_F(AppKey, ValueTypeIsNotLookedAtAndOversizedValuesCountAsAbsent)
{
    setText(L"Location", L"C:\\x");
    EXPECT_EQ(getInstalledVersion(), "");  // key there, value missing
    const DWORD dword = 0x00320031;        // bytes 31 00 32 00: the text "12"
    set(L"Version", REG_DWORD, &dword, sizeof(dword));
    EXPECT_EQ(getInstalledVersion(), "12");
    // Only the low byte of each unit: U+0131 reads as '1'.
    setText(L"Version", L"\u0131.2.3.4");
    EXPECT_EQ(getInstalledVersion(), "1.2.3.4");

    setText(L"Location", std::wstring(300, L'a'));
    EXPECT_EQ(getInstallLocation(), L"");
    setText(L"Location", std::wstring(259, L'b'));
    EXPECT_EQ(getInstallLocation(), std::wstring(259, L'b'));
}

TEST(Processes, RunProcessWaitsAndLogsAndReportsFailures)
{
    LogFile log(L"run.log");
    Record record;
    const std::wstring folder = makeTempFolder(L"runproc");
    const std::wstring exe = copyFakeApp(folder, L"VeAppMgrLauncher.exe");
    SetEnvironmentVariableW(L"VELT_FAKE_SLEEP_MS", L"500");
    const std::wstring line = L"\"" + exe + L"\" -postPurchase";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(runProcess(exe, line, folder));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(450)) << "runProcess must wait";
    const auto runs = record.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["cmdline"].asString(), std::string(line.begin(), line.end()));
    std::wstring cwd = folder.substr(0, folder.size() - 1);  // the process reports it without the backslash
    EXPECT_EQ(_stricmp(runs[0]["cwd"].asCString(), std::string(cwd.begin(), cwd.end()).c_str()), 0)
        << runs[0]["cwd"].asString();

    EXPECT_FALSE(runProcess(folder + L"missing.exe", L"\"" + folder + L"missing.exe\" x", folder));
    const std::string text = log.text();
    EXPECT_NE(text.find("INFO::launchKestrel: commandLine = " + std::string(line.begin(), line.end()) + ". szPath = "),
              std::string::npos);
    EXPECT_NE(text.find("INFO::runProcess() fails to create process. error code: 2\r\n"), std::string::npos) << text;
    // Too long to be a command line: refused before anything is started.
    EXPECT_FALSE(runProcess(exe, L"\"" + exe + L"\" " + std::wstring(1100, L'x'), folder));
    EXPECT_EQ(record.runs().size(), 1u);
}

TEST(Processes, FindAndTerminateByNameInAnyLetterCase)
{
    const std::wstring folder = makeTempFolder(L"terminate");
    const std::wstring exe = copyFakeApp(folder, L"VeltraneDesktopApp.exe");
    SetEnvironmentVariableW(L"VELT_FAKE_SLEEP_MS", L"60000");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + exe + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi));
    SetEnvironmentVariableW(L"VELT_FAKE_SLEEP_MS", nullptr);

    DWORD found = 0;
    for (int i = 0; i < 50 && !found; ++i) {
        found = findProcessByName(L"veltranedesktopapp.EXE");
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(found, pi.dwProcessId);
    EXPECT_EQ(findProcessByName(L"VeltraneDesktopApp"), 0u) << "the base name is compared whole";

    terminateProcessesByName(L"VELTRANEDESKTOPAPP.exe");
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(findProcessByName(L"VeltraneDesktopApp.exe"), 0u);
    terminateProcessesByName(L"VeltraneDesktopApp.exe");  // nothing left: returns at once
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

TEST_F(AppKey, LauncherStartsFromTheRecordedFolderWithTheMetadataArguments)
{
    Record record;
    const std::wstring base = makeTempFolder(L"launch");
    for (const std::wstring& location : {base.substr(0, base.size() - 1), base}) {  // without and with backslash
        copyFakeApp(base, L"VeAppMgrLauncher.exe");
        setText(L"Location", location);
        Json::Value metadata;
        metadata["updateXmlUrl"] = "http://x/update.xml";
        metadata["kestrelLauncherArguments"] = "-postPurchase";
        EXPECT_TRUE(launchKestrel(metadata));
        Json::Value none;
        none["updateXmlUrl"] = "http://x/update.xml";
        EXPECT_TRUE(launchKestrel(none));
    }
    const auto runs = record.runs();
    ASSERT_EQ(runs.size(), 4u);
    const std::string path = std::string(base.begin(), base.end()) + "VeAppMgrLauncher.exe";
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(runs[i]["cmdline"].asString(), "\"" + path + "\" " + (i % 2 == 0 ? "-postPurchase" : "")) << i;
    }

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    Json::Value metadata;
    EXPECT_FALSE(launchKestrel(metadata));  // nothing recorded: nothing started
    EXPECT_EQ(record.runs().size(), 4u);
}
