// fakeapp: stands in for the application manager's installer and launcher in tests and in the
// demo run. What it does depends on the name it is started under:
//   VeltraneDesktopApp.exe ... --mode unattended   installs: records Version and Location under
//       HKLM\SOFTWARE\Veltrane\Veltrane Application Manager and puts a copy of itself into
//       Location as VeAppMgrLauncher.exe;
//   any other name (the launcher)                  only records that it ran.
// Environment (inherited from the bootstrap that starts it):
//   VELT_FAKE_RECORD    file to append a JSON line to: name, command line, working folder, and the
//                       size of its own file (which copy of it was started)
//   VELT_FAKE_SLEEP_MS  stay alive that long before doing anything (for termination tests)
//   VELT_FAKE_STARTED   file to create as soon as the process runs (before that sleep), so a
//                       test can wait until the copy really is running
//   VELT_FAKE_VERSION   version to record (default 1.0.0.0)
//   VELT_FAKE_LOCATION  install folder to record (default C:\Program Files\Veltrane\Application Manager)
//   VELT_FAKE_NO_INSTALL  when set, the installer records the run but installs nothing
//   VELT_FAKE_TRY_SWAP  when set, tries (as an attacker would) to overwrite and to rename its own
//                       executable file and records whether that was refused
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>

#include "helper_text.h"

using velt::test::envVar;
using velt::test::jsonString;

namespace {

// Whether the executable file could be opened for writing, and renamed (put back at once).
std::string trySwap(const std::wstring& self)
{
    HANDLE h = CreateFileW(self.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    const bool writeBlocked = h == INVALID_HANDLE_VALUE;
    if (!writeBlocked) CloseHandle(h);
    const std::wstring moved = self + L".moved";
    const bool renameBlocked = !MoveFileExW(self.c_str(), moved.c_str(), 0);
    if (!renameBlocked) MoveFileExW(moved.c_str(), self.c_str(), 0);
    return std::string(", \"writeBlocked\": ") + (writeBlocked ? "true" : "false") + ", \"renameBlocked\": " +
           (renameBlocked ? "true" : "false");
}

void record(const std::wstring& self)
{
    const std::wstring file = envVar(L"VELT_FAKE_RECORD");
    if (file.empty()) return;
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::string swap = envVar(L"VELT_FAKE_TRY_SWAP").empty() ? std::string() : trySwap(self);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(self.c_str(), GetFileExInfoStandard, &data);
    const std::string size = ", \"size\": " + std::to_string(data.nFileSizeLow);
    const std::string line = "{\"name\": " + jsonString(PathFindFileNameW(self.c_str())) + ", \"path\": " + jsonString(self) + size +
                             ", \"cmdline\": " + jsonString(GetCommandLineW()) + ", \"cwd\": " + jsonString(cwd) + swap + "}\n";
    // Appended whole, so parallel runs do not interleave inside a line.
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(h);
}

int install(const std::wstring& self)
{
    std::wstring version = envVar(L"VELT_FAKE_VERSION");
    if (version.empty()) version = L"1.0.0.0";
    std::wstring location = envVar(L"VELT_FAKE_LOCATION");
    if (location.empty()) location = L"C:\\Program Files\\Veltrane\\Application Manager";
    SHCreateDirectoryExW(nullptr, location.c_str(), nullptr);
    wchar_t launcher[MAX_PATH] = {};
    lstrcpynW(launcher, location.c_str(), MAX_PATH);
    PathAppendW(launcher, L"VeAppMgrLauncher.exe");
    if (!CopyFileW(self.c_str(), launcher, FALSE)) return 3;

    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Veltrane\\Veltrane Application Manager", 0, nullptr, 0,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 4;
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                   (DWORD)((version.size() + 1) * sizeof(wchar_t)));
    RegSetValueExW(key, L"Location", 0, REG_SZ, reinterpret_cast<const BYTE*>(location.c_str()),
                   (DWORD)((location.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring started = envVar(L"VELT_FAKE_STARTED");
    if (!started.empty()) {
        HANDLE h = CreateFileW(started.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    const std::wstring sleepMs = envVar(L"VELT_FAKE_SLEEP_MS");
    if (!sleepMs.empty()) Sleep(static_cast<DWORD>(_wtoi(sleepMs.c_str())));
    record(self);
    const bool asInstaller = lstrcmpiW(PathFindFileNameW(self), L"VeltraneDesktopApp.exe") == 0 &&
                             std::wstring(commandLine).find(L"--mode unattended") != std::wstring::npos;
    if (asInstaller && envVar(L"VELT_FAKE_NO_INSTALL").empty()) return install(self);
    return 0;
}
