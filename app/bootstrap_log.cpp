#include "app/bootstrap_log.h"

#include <windows.h>

#include <io.h>
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

namespace {

// What one of the platform's path functions writes into a buffer; "" when it fails or the path
// does not fit.
template <typename Call>
std::wstring pathFrom(Call call)
{
    constexpr DWORD kChars = MAX_PATH * 2;
    wchar_t buffer[kChars] = {};
    const DWORD n = call(buffer, kChars);
    return n == 0 || n >= kChars ? std::wstring() : std::wstring(buffer, n);
}

// The path as the platform resolves it, without the "\\?\" prefix; "" when it cannot be had.
std::wstring finalPathOf(HANDLE handle)
{
    std::wstring path = pathFrom([&](wchar_t* buffer, DWORD chars) {
        return ::GetFinalPathNameByHandleW(handle, buffer, chars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

std::wstring fullPathOf(const std::wstring& path)
{
    return pathFrom([&](wchar_t* buffer, DWORD chars) { return ::GetFullPathNameW(path.c_str(), chars, buffer, nullptr); });
}

std::wstring longPathOf(const std::wstring& path)
{
    return pathFrom([&](wchar_t* buffer, DWORD chars) { return ::GetLongPathNameW(path.c_str(), buffer, chars); });
}

bool samePath(const std::wstring& a, const std::wstring& b)
{
    return !a.empty() && ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether `path` names a file that the platform reaches without passing through a junction or
// a symbolic link (%temp% comes from the user's own settings, which the user's unelevated
// processes can change). The folder is held open while the file is made, so it cannot be
// swapped for a link meanwhile.
class PlainFolder {
public:
    explicit PlainFolder(const std::wstring& filePath)
    {
        const std::wstring full = fullPathOf(filePath);
        const std::size_t slash = full.find_last_of(L'\\');
        if (slash == std::wstring::npos) return;
        // Short (8.3) names, as %temp% often has them, are written out long: the platform's
        // resolved path always is.
        std::wstring folder = longPathOf(full.substr(0, slash + 1));
        if (folder.empty()) return;
        // Without FILE_SHARE_DELETE nobody can rename or remove the folder while it is held.
        folder_ = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder_ == INVALID_HANDLE_VALUE) return;
        const DWORD attributes = ::GetFileAttributesW(full.c_str());
        const bool fileIsLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (folder.back() == L'\\') folder.pop_back();
        expected_ = folder + full.substr(slash);
        const std::wstring resolved = finalPathOf(folder_);
        plain_ = !fileIsLink && (samePath(resolved, folder) || samePath(resolved, folder + L"\\"));
    }
    ~PlainFolder()
    {
        if (folder_ != INVALID_HANDLE_VALUE) ::CloseHandle(folder_);
    }
    PlainFolder(const PlainFolder&) = delete;
    PlainFolder& operator=(const PlainFolder&) = delete;

    bool plain() const { return plain_; }
    // Whether an open file is the one asked for.
    bool isExpected(HANDLE file) const { return samePath(finalPathOf(file), expected_); }

private:
    HANDLE folder_ = INVALID_HANDLE_VALUE;
    bool plain_ = false;
    std::wstring expected_;
};

}  // namespace

bool openBootstrapLog(const std::wstring& path)
{
    // The stub may run elevated: a log that would be created or appended through a link is not
    // opened at all, and a file that turns out to be another than the one asked for is closed
    // again. The run then goes on without log lines.
    const PlainFolder folder(path);
    if (!folder.plain()) return false;
    FILE* f = ::_wfsopen(path.c_str(), L"at", _SH_DENYWR);
    if (!f) return false;
    if (!folder.isExpected(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f))))) {
        std::fclose(f);
        return false;
    }
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
