#include "app/log_format.h"

#include <array>

namespace velt {

std::string formatLogPrefix(const std::tm& localTime, LogLevel level)
{
    std::array<char, 512> buf{};
    const char* fmt = level == LogLevel::Info ? "%Y-%m-%dT%H:%M:%S INFO:" : "%Y-%m-%dT%H:%M:%S ERROR:";
    const size_t n = std::strftime(buf.data(), buf.size(), fmt, &localTime);
    return std::string(buf.data(), n);
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
