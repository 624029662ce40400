#include "flow/installed_version.h"

#include <windows.h>

#include <cwchar>

#include "app/win_handles.h"
#include "flow/version_compare.h"

namespace velt {

namespace {

constexpr wchar_t kAppKey[] = L"SOFTWARE\\Veltrane\\Veltrane Application Manager";

// Whatever bytes the value holds are read as UTF-16 text (its type is not looked at), up to the
// first NUL. A value that does not fit the 260-character buffer counts as not recorded: its
// contents would be undefined.
std::wstring readAppValue(const wchar_t* name)
{
    RegKey key;
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, KEY_READ, &raw) != ERROR_SUCCESS) return {};
    key.reset(raw);

    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const LSTATUS status =
        ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_MORE_DATA) return {};
    return std::wstring(buffer, ::wcsnlen(buffer, MAX_PATH));
}

}  // namespace

std::string getInstalledVersion()
{
    const std::wstring text = readAppValue(L"Version");
    return lowBytesOf(std::u16string(text.begin(), text.end()));
}

std::wstring getInstallLocation() { return readAppValue(L"Location"); }

}  // namespace velt
