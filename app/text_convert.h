// The bootstrap's text conversions, each in one place: narrow texts (JSON, XML, exception
// messages, the log's time prefix) go to and from wide with the thread's ANSI code page.
#pragma once

#include <string>

namespace velt {

std::wstring acpToWide(const std::string& text);
std::string wideToAcp(const std::wstring& text);

}  // namespace velt
