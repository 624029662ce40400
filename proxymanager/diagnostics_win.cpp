#include "proxymanager/diagnostics_win.h"

#include <cerrno>
#include <cstdlib>
#include <cwchar>

#include "common/unique_handle.h"
#include "proxymanager/diagnostics.h"

namespace VELT {
namespace ProxyManager {

namespace {

void WriteDebugStringW(const wchar_t* line) { ::OutputDebugStringW(line); }
void WriteDebugStringA(const char* line) { ::OutputDebugStringA(line); }
void FreeLocal(HLOCAL memory) { ::LocalFree(memory); }

// Read once while the process starts, before wWinMain: changing the variable later has no
// effect, and with the switch off every log call costs a single test.
bool InstallDebugOutput()
{
    const bool enabled = ReadBoolEnvironmentFlag(L"VELT_ENABLE_DEBUG_STRING", false);
    ConfigureDebugOutput(enabled, &WriteDebugStringW, &WriteDebugStringA);
    return enabled;
}

const bool g_debugOutputEnabled = InstallDebugOutput();

}  // namespace

std::wstring ReadEnvironmentValue(const std::wstring& name)
{
    if (name.empty()) return std::wstring();
    // The size query: the Microsoft CRT answers 0 and the size, Wine's answers ERANGE ("the
    // zero-sized buffer is too small") with the same size. Both mean the variable exists.
    size_t required = 0;
    const errno_t query = _wgetenv_s(&required, nullptr, 0, name.c_str());
    if ((query != 0 && query != ERANGE) || required == 0) return std::wstring();
    wchar_t buffer[1024] = {};
    size_t read = 0;
    if (_wgetenv_s(&read, buffer, 1024, name.c_str()) != 0) return std::wstring();
    return buffer;
}

bool ReadBoolEnvironmentFlag(const std::wstring& name, bool defaultValue)
{
    return InterpretBoolFlag(ReadEnvironmentValue(name), defaultValue);
}

std::wstring GetSystemErrorText(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0,
        nullptr);
    velt::UniqueHandle<velt::NullHandleTraits<HLOCAL, FreeLocal>> owner(text);
    if (length == 0 || text == nullptr) return std::wstring();
    return std::wstring(text, length);
}

void ReportApiFailure(const std::wstring& functionName)
{
    const DWORD code = ::GetLastError();
    const std::wstring text = GetSystemErrorText(code);
    DebugLog(LOG_ERROR, L"%s() API failed. Error:%lu Description:%s", functionName.c_str(),
             static_cast<unsigned long>(code), text.c_str());
}

}  // namespace ProxyManager
}  // namespace VELT
