#include "app/log_format.h"

#include <array>
#include <cstdio>

namespace velt {

std::string formatLogPrefix(const std::tm& localTime, LogLevel level)
{
    std::array<char, 512> buf{};
    const char* fmt = level == LogLevel::Info ? "%Y-%m-%dT%H:%M:%S INFO:" : "%Y-%m-%dT%H:%M:%S ERROR:";
    const size_t n = std::strftime(buf.data(), buf.size(), fmt, &localTime);
    return std::string(buf.data(), n);
}

std::wstring escapeControlCharacters(const std::wstring& text)
{
    static const wchar_t hex[] = L"0123456789ABCDEF";
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const auto code = static_cast<unsigned long>(c);
        if (code >= 0x20 && code != 0x7F && (code < 0x80 || code > 0x9F)) {
            out.push_back(c);
        } else if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c == L'\t') {
            out += L"\\t";
        } else {
            out += L"\\x";
            out.push_back(hex[(code >> 4) & 0xF]);
            out.push_back(hex[code & 0xF]);
        }
    }
    return out;
}

std::wstring escapeLogMessage(const std::wstring& message)
{
    const bool endsLine = !message.empty() && message.back() == L'\n';
    std::wstring out = escapeControlCharacters(endsLine ? message.substr(0, message.size() - 1) : message);
    if (endsLine) out.push_back(L'\n');
    return out;
}

std::string narrowForLog(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const auto code = static_cast<unsigned long>(c);
        if (code == 0) break;
        out.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
    }
    return out;
}

}  // namespace velt
