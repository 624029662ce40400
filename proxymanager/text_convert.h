// The proxy manager keeps its texts as UTF-8 and talks to Windows in UTF-16; these two are the
// only places where it converts between them.
#pragma once

#include <cstddef>
#include <string>

namespace VELT {
namespace ProxyManager {

// Both raise std::range_error("bad conversion") on text that is not valid in its encoding.
std::wstring ToWide(const std::string& utf8);
std::string ToUtf8(const std::wstring& wide);

// The same conversions for passwords: every scratch buffer is wiped before it is freed, and the
// result replaces `out` after its old value was wiped (out is left empty on an error).
void ToWideSecret(const char* utf8, std::size_t length, std::wstring& out);
inline void ToWideSecret(const std::string& utf8, std::wstring& out) { ToWideSecret(utf8.data(), utf8.size(), out); }
void ToUtf8Secret(const std::wstring& wide, std::string& out);

}  // namespace ProxyManager
}  // namespace VELT
