// Installed-version logic that needs no Windows: splitting, the four-part comparison, and the
// registry value's one-byte reading.
#pragma once

#include <string>
#include <vector>

namespace velt {

// Parts as successive delimited reads of a string stream give them: "a..b" has an empty middle
// part, a trailing delimiter adds no empty last part, and "" gives no parts.
std::vector<std::string> splitString(const std::string& text, char delimiter);

// True exactly when both versions have four parts and `candidate` is strictly greater, part by
// part, each part read the way atoi reads it.
bool isNewerVersion(const std::string& candidate, const std::string& installed);

// The registry's "Version" text narrowed unit by unit to the low byte, without code-page
// conversion.
std::string lowBytesOf(const std::u16string& text);

}  // namespace velt
