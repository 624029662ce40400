#include "app/bootstrap_log.h"

#include <windows.h>

#include <share.h>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

#include "app/log_format.h"
#include "app/text_convert.h"

namespace velt {

namespace {

FILE* g_logFile = nullptr;

// The worker is detached and may still write while the main thread shuts the log down; the
// section keeps a line from being written to a stream that is being closed, and keeps the two
// threads' lines whole. It is never deleted: the process ends with it.
// Made while the program initialises, before any thread of its own exists (the Windows tree
// builds without locks around local statics).
CRITICAL_SECTION* newLogSection()
{
    auto* cs = new CRITICAL_SECTION;
    ::InitializeCriticalSection(cs);
    return cs;
}
CRITICAL_SECTION* const g_logSection = newLogSection();

CRITICAL_SECTION* logSection()
{
    return g_logSection;
}

std::wstring formatWideV(const wchar_t* format, va_list args)
{
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        // msvcrt's own formatter: %s is a wide string in a wide format, as the messages expect.
        const int n = ::_vsnwprintf(buf.data(), buf.size() - 1, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size() - 1) return std::wstring(buf.data(), static_cast<size_t>(n));
        if (buf.size() >= (1u << 24)) return std::wstring(buf.data(), buf.size() - 1);
        buf.assign(buf.size() * 4, L'\0');
    }
}

void writeLine(LogLevel level, const wchar_t* format, va_list args)
{
    if (!g_logFile) return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::string prefix;
    if (::localtime_s(&local, &now) == 0) prefix = formatLogPrefix(local, level);
    // The prefix goes through the thread's ANSI code page and back out as one byte per
    // character; the message is narrowed the same way, with '?' for what one byte cannot hold.
    // Its text arguments come from outside (URLs, file names, metadata, certificate subjects):
    // control characters in them are escaped, so a CR or LF cannot start a forged line.
    std::string line = narrowForLog(acpToWide(prefix) + L":");
    line += narrowForLog(escapeLogMessage(formatWideV(format, args)));

    ::EnterCriticalSection(logSection());
    if (g_logFile) std::fwrite(line.data(), 1, line.size(), g_logFile);
    ::LeaveCriticalSection(logSection());
}

}  // namespace

bool openBootstrapLog(const std::wstring& path)
{
    FILE* f = ::_wfsopen(path.c_str(), L"at", _SH_DENYWR);
    if (!f) return false;
    std::setvbuf(f, nullptr, _IONBF, 0);
    ::EnterCriticalSection(logSection());
    g_logFile = f;
    ::LeaveCriticalSection(logSection());
    return true;
}

void closeBootstrapLog()
{
    ::EnterCriticalSection(logSection());
    if (g_logFile) std::fclose(g_logFile);
    g_logFile = nullptr;
    ::LeaveCriticalSection(logSection());
}

void logInfo(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(LogLevel::Info, format, args);
    va_end(args);
}

void logError(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(LogLevel::Error, format, args);
    va_end(args);
}

std::wstring formatWide(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring out = formatWideV(format, args);
    va_end(args);
    return out;
}

}  // namespace velt
