#include "app/dll_search.h"

#include <cwchar>

namespace velt {

namespace {

// Whether the loader takes LOAD_LIBRARY_SEARCH_SYSTEM32: Windows 8 on, and Windows 7 with the
// loader update. Set once by limitDllSearch, before any other thread exists.
bool g_searchFlags = false;

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Windows 7 without the loader update has neither the function nor the flags. Set, the
// environment switch takes that path on any Windows, so the defence without the flags can be
// checked where the flags exist.
bool withoutSearchFlags()
{
    wchar_t value[2] = {};
    return ::GetEnvironmentVariableW(L"VELT_DLL_SEARCH_WITHOUT_FLAGS", value, 2) == 1 && value[0] == L'1';
}

void preload(const wchar_t* const* names, size_t count)
{
    for (size_t i = 0; i < count; ++i) loadSystemLibrary(names[i]);
}

}  // namespace

void limitDllSearch()
{
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDefaultDllDirectories = kernel
        ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
              reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
        : nullptr;
    if (setDefaultDllDirectories && !withoutSearchFlags() &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        g_searchFlags = true;
        return;
    }
    // The program's own folder stays first in this search order; what keeps a planted DLL out
    // there is that every DLL the stub can load is loaded by its full path first.
    ::SetDllDirectoryW(L"");
}

HMODULE loadSystemLibrary(const wchar_t* name)
{
    if (g_searchFlags) return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    const size_t nameLength = std::wcslen(name);
    if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    std::wmemcpy(path + length + 1, name, nameLength + 1);
    // The altered search order looks for the DLL's own imports in the system folder first.
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void preloadWindowDlls()
{
    static const wchar_t* const kWindow[] = {L"uxtheme.dll", L"dwmapi.dll", L"version.dll", L"msimg32.dll"};
    if (!g_searchFlags) preload(kWindow, sizeof(kWindow) / sizeof(kWindow[0]));
}

void preloadWorkerDlls()
{
    // Also where the search is limited by the flags: a system DLL that passes search flags of
    // its own would not be held by the process's default directories. What others import comes
    // first, so no DLL's imports are ever looked for by bare name (a loader that does not apply
    // the altered search order to them would search the stub's folder first).
    static const wchar_t* const kWorker[] = {L"iphlpapi.dll", L"dnsapi.dll",  L"dhcpcsvc.dll", L"secur32.dll",
                                             L"crypt32.dll",  L"wintrust.dll", L"winhttp.dll", L"jsproxy.dll",
                                             L"credui.dll"};
    preload(kWorker, sizeof(kWorker) / sizeof(kWorker[0]));
}

}  // namespace velt
