// Pieces of the bootstrap log that do not need Windows: the time-stamp prefix and the
// narrowing of a formatted message to the log's one-byte encoding.
#pragma once

#include <cstdarg>
#include <ctime>
#include <string>

namespace velt {

enum class LogLevel { Info, Error };

// "2026-12-08T04:33:12 INFO:" / "... ERROR:" for the given local time. The writer appends one
// more ':' so that a line reads "<stamp> INFO::message".
std::string formatLogPrefix(const std::tm& localTime, LogLevel level);

// Text that came from outside (the network, the metadata, the registry, file names) must not be
// able to start a new log line or hide part of one: every control character (C0, DEL, C1) is
// written as an escape, "\r", "\n", "\t" or "\x" with two upper-case hex digits ("\x1B").
// Everything else, backslashes included, stays as it is.
std::wstring escapeControlCharacters(const std::wstring& text);

// The log's printf-style formatting with the Windows rules the messages are written for: %s (and
// %ls, %ws) takes a wide string, %hs and %S a narrow one, %c a wide character; %d %i %u %x %X
// %o with the length modifiers h, l, ll, I32, I64, z, I; %f %e %g; flags, width and precision,
// '*' included. Every string and character argument goes through escapeControlCharacters, so only
// the format's own text (its "\n" at the end) can end a line. A conversion it does not know
// ends the formatting: the rest of the format is written as it stands and no further argument
// is read.
std::wstring formatLogMessage(const wchar_t* format, va_list args);

// The log file is one byte per character: U+0001..U+00FF map to the byte of the same value.
// Anything above cannot be written that way and becomes '?', so the rest of the line (its line
// end included) still reaches the file.
std::string narrowForLog(const std::wstring& text);

}  // namespace velt
