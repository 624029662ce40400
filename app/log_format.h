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

// The log file is one byte per character: U+0001..U+00FF map to the byte of the same value.
// Anything above cannot be written that way and becomes '?', so the rest of the line (its line
// end included) still reaches the file.
std::string narrowForLog(const std::wstring& text);

}  // namespace velt
