// The proxy manager keeps its texts as UTF-8 and talks to Windows in UTF-16; these two are the
// only places where it converts between them.
#pragma once

#include <string>

namespace VELT {
namespace ProxyManager {

// Both raise std::range_error("bad conversion") on text that is not valid in its encoding.
std::wstring ToWide(const std::string& utf8);
std::string ToUtf8(const std::wstring& wide);

}  // namespace ProxyManager
}  // namespace VELT
