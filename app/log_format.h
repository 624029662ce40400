// Pieces of the bootstrap log that do not need Windows: the time-stamp prefix and the
// narrowing of a formatted message to the log's one-byte encoding.
#pragma once

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

// A formatted message as the log writes it. Every message carries its own "\n" at the end and no
// other control character of its own, so any other one came in with an argument (a URL, a file
// name, the metadata, a certificate subject): all of them are escaped and only the final line
// end stays, so that one message is one line.
std::wstring escapeLogMessage(const std::wstring& message);

// The log file is one byte per character: U+0001..U+00FF map to the byte of the same value.
// Anything above cannot be written that way and becomes '?', so the rest of the line (its line
// end included) still reaches the file.
std::string narrowForLog(const std::wstring& text);

}  // namespace velt
