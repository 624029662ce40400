#include "proxymanager/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace VELT {
namespace ProxyManager {

namespace {

const char kLinePrefix[] = "Veltrane   VeltProxyManager   ";
const char kLevelSeparator[] = "   ";

// Constant-initialised, so it is valid before any dynamic initialiser (in particular the one
// of the Windows unit that installs the real writers) runs.
struct DebugOutputState {
    bool enabled;
    DebugWriterW writerW;
    DebugWriterA writerA;
};
DebugOutputState g_output = {false, nullptr, nullptr};

#ifndef _WIN32
// The Windows CRT reads "%s" in a wide format as a wide string; C99 runtimes want "%ls". The
// formats of this library are written for Windows, so the host build translates them.
std::wstring hostWideFormat(const wchar_t* format)
{
    std::wstring out;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        out.push_back(*p);
        if (*p != L'%') continue;
        ++p;
        if (*p == L'%') { out.push_back(*p); continue; }
        while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr) out.push_back(*p++);
        if (*p == L'\0') break;
        if (*p == L's') out.push_back(L'l');
        out.push_back(*p);
    }
    return out;
}
#endif

// Formats into a zero-filled buffer of kDebugMessageCapacity characters. Overlong output is
// cut at capacity - 1 characters: the bounded CRT functions that abort on overflow would turn a
// long host name into a crash of the whole bootstrap.
std::wstring formatWide(const wchar_t* format, va_list args)
{
    wchar_t buffer[kDebugMessageCapacity] = {};
#ifdef _WIN32
    _vsnwprintf_s(buffer, kDebugMessageCapacity, _TRUNCATE, format, args);
#else
    std::wstring hostFormat = hostWideFormat(format);
    std::vswprintf(buffer, kDebugMessageCapacity, hostFormat.c_str(), args);
#endif
    buffer[kDebugMessageCapacity - 1] = L'\0';
    return buffer;
}

std::string formatNarrow(const char* format, va_list args)
{
    char buffer[kDebugMessageCapacity] = {};
#ifdef _WIN32
    // msvcrt's own formatter, as for the wide messages; the last character stays the NUL.
    _vsnprintf(buffer, kDebugMessageCapacity - 1, format, args);
#else
    std::vsnprintf(buffer, kDebugMessageCapacity, format, args);
#endif
    buffer[kDebugMessageCapacity - 1] = '\0';
    return buffer;
}

wchar_t asciiUpper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

}  // namespace

void ConfigureDebugOutput(bool enabled, DebugWriterW writerW, DebugWriterA writerA)
{
    g_output = {enabled, writerW, writerA};
}

bool IsDebugOutputEnabled()
{
    return g_output.enabled;
}

const char* GetLevelName(int level)
{
    switch (level) {
    case LOG_TRACE: return "[TRACE]";
    case LOG_DEBUG: return "[DEBUG]";
    case LOG_INFO: return "[INFO]";
    case LOG_ERROR: return "[ERROR]";
    case LOG_FATAL: return "[FATAL]";
    default: return "[INFO]";
    }
}

std::wstring BuildDebugLine(int level, const std::wstring& message)
{
    // The prefix, level name and separator are ASCII: widened character by character.
    std::wstring line;
    for (const char* part : {kLinePrefix, GetLevelName(level), kLevelSeparator}) {
        for (; *part != '\0'; ++part) line.push_back(static_cast<wchar_t>(*part));
    }
    line += message;
    line += L'\n';
    return line;
}

std::string BuildDebugLineA(int level, const std::string& message)
{
    std::string line = kLinePrefix;
    line += GetLevelName(level);
    line += kLevelSeparator;
    line += message;
    line += '\n';
    return line;
}

void DebugLog(int level, const wchar_t* format, ...)
{
    if (!g_output.enabled || format == nullptr || g_output.writerW == nullptr) return;
    va_list args;
    va_start(args, format);
    std::wstring message = formatWide(format, args);
    va_end(args);
    g_output.writerW(BuildDebugLine(level, message).c_str());
}

void DebugLogA(int level, const char* format, ...)
{
    if (!g_output.enabled || format == nullptr || g_output.writerA == nullptr) return;
    va_list args;
    va_start(args, format);
    std::string message = formatNarrow(format, args);
    va_end(args);
    g_output.writerA(BuildDebugLineA(level, message).c_str());
}

std::string FormatResult(const ProxyResult& result)
{
    auto text = [](const char* s) { return s != nullptr ? s : ""; };
    std::string out = "Output: [server=";
    out += text(result.server);
    out += " serverPort=";
    out += text(result.serverPort);
    out += " user=";
    out += text(result.user);
    out += " password=**** authScheme=";
    out += std::to_string(result.authScheme);
    out += "]";
    return out;
}

PMStatus ReportStatus(PMStatus status, const ProxyResult* result)
{
    DebugLog(LOG_INFO, L"PMStatus:%d", static_cast<int>(status));
    if (status == PM_STATUS_SUCCESS && result != nullptr) {
        DebugLogA(LOG_INFO, "%s", FormatResult(*result).c_str());
    }
    return status;
}

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

bool InterpretBoolFlag(const std::wstring& value, bool defaultValue)
{
    if (value.empty()) return defaultValue;
    if (EqualsIgnoreCase(value, L"TRUE")) return true;
    if (EqualsIgnoreCase(value, L"FALSE")) return false;
    return defaultValue;
}

}  // namespace ProxyManager
}  // namespace VELT
