// Diagnostic lines of the proxy manager. They go to the Windows debug output (never to the
// bootstrap's log file), and only when VELT_ENABLE_DEBUG_STRING says TRUE at process start.
// A line reads: "Veltrane   VeltProxyManager   " + "[LEVEL]" + "   " + message + "\n".
#pragma once

#include <cstdint>
#include <string>

#include "proxymanager/proxy_manager.h"

namespace VELT {
namespace ProxyManager {

enum LogLevel : int {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_ERROR = 3,
    LOG_FATAL = 4,
};

// Messages are formatted into fixed buffers of this many characters; longer ones are cut.
constexpr std::size_t kDebugMessageCapacity = 1024;

// printf-style; in the wide format "%s" takes a wide string, as the Windows CRT reads it.
void DebugLog(int level, const wchar_t* format, ...);
void DebugLogA(int level, const char* format, ...);

// "[TRACE]" ... "[FATAL]"; any other value reads "[INFO]".
const char* GetLevelName(int level);

// The line as written, without going anywhere: exposed so the line format is checked natively.
std::wstring BuildDebugLine(int level, const std::wstring& message);
std::string BuildDebugLineA(int level, const std::string& message);

// Where lines go. The Windows unit installs OutputDebugStringW/A and the state of the switch
// once, during static initialisation; tests may install a capture.
typedef void (*DebugWriterW)(const wchar_t* line);
typedef void (*DebugWriterA)(const char* line);
void ConfigureDebugOutput(bool enabled, DebugWriterW writerW, DebugWriterA writerA);
bool IsDebugOutputEnabled();

// "Output: [server=.. serverPort=.. user=.. password=**** authScheme=..]". The password is never
// written; a null text field is written as nothing.
std::string FormatResult(const ProxyResult& result);

// Logs "PMStatus:%d" and, only for PM_STATUS_SUCCESS, the formatted result. Returns status.
PMStatus ReportStatus(PMStatus status, const ProxyResult* result);

// Same length and equal after upper-casing (ASCII letters fold, nothing else does).
bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b);

// The reading rule of the boolean environment switches: "TRUE" / "FALSE" in any letter case,
// anything else (empty included) gives the default.
bool InterpretBoolFlag(const std::wstring& value, bool defaultValue);

}  // namespace ProxyManager
}  // namespace VELT
