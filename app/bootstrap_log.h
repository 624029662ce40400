// The bootstrap log: "%temp%\VeltappBootstrap.log", appended across runs, one line per event,
// "<local time> INFO::message" or "<local time> ERROR::message", CR LF line ends. Messages carry
// their own "\n". Nothing is reported to the caller whatever happens.
#pragma once

#include <string>

namespace velt {

// Opens the log shared for reading only, unbuffered. When it cannot be opened (a second
// instance holds it, %temp% is not writable) the program runs on and writes no log lines.
bool openBootstrapLog(const std::wstring& path);
void closeBootstrapLog();

// Printf-style wide formats with Microsoft semantics: %s takes a wide string.
void logInfo(const wchar_t* format, ...);
void logError(const wchar_t* format, ...);

// printf-style formatting of a wide text into a std::wstring (same %s rule as above).
std::wstring formatWide(const wchar_t* format, ...);

}  // namespace velt
