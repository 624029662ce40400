#include "app/log_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cwchar>
#include <vector>

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

namespace {

enum class Length { Default, Short, Char, Long, LongLong, Size };

// One numeric conversion through the C library, the value already taken from the arguments.
template <typename T>
void appendNumber(std::wstring& out, const std::string& spec, T value)
{
    const int n = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (n <= 0) return;
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::snprintf(buf.data(), buf.size(), spec.c_str(), value);
    for (int i = 0; i < n; ++i) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(buf[i])));
}

void appendPadded(std::wstring& out, const std::wstring& text, size_t width, bool left)
{
    if (!left && text.size() < width) out.append(width - text.size(), L' ');
    out += text;
    if (left && text.size() < width) out.append(width - text.size(), L' ');
}

}  // namespace

std::wstring formatLogMessage(const wchar_t* format, va_list args)
{
    std::wstring out;
    if (!format) return out;
    va_list ap;
    va_copy(ap, args);
    const wchar_t* p = format;
    while (*p) {
        if (*p != L'%') {
            out.push_back(*p++);
            continue;
        }
        const wchar_t* conversionStart = p++;
        if (*p == L'%') {
            out.push_back(L'%');
            ++p;
            continue;
        }
        std::string spec = "%";
        bool left = false;
        while (*p && std::wcschr(L"-+ #0", *p)) {
            left = left || *p == L'-';
            spec.push_back(static_cast<char>(*p++));
        }
        long width = 0;
        if (*p == L'*') {
            width = va_arg(ap, int);
            if (width < 0) {
                left = true;
                width = -width;
                spec.push_back('-');
            }
            spec += std::to_string(width);
            ++p;
        } else {
            for (; *p >= L'0' && *p <= L'9'; ++p) {
                if (width < 100000) width = width * 10 + (*p - L'0');
                spec.push_back(static_cast<char>(*p));
            }
        }
        long precision = -1;
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                precision = va_arg(ap, int);  // a negative one counts as none
                ++p;
            } else {
                precision = 0;
                for (; *p >= L'0' && *p <= L'9'; ++p)
                    if (precision < 100000) precision = precision * 10 + (*p - L'0');
            }
            if (precision >= 0) spec += "." + std::to_string(precision);
        }
        Length length = Length::Default;
        bool narrowText = false;
        if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            length = Length::LongLong;
            p += 3;
        } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
            p += 3;
        } else if (*p == L'l') {
            length = p[1] == L'l' ? Length::LongLong : Length::Long;
            p += p[1] == L'l' ? 2 : 1;
        } else if (*p == L'h') {
            narrowText = true;
            length = p[1] == L'h' ? Length::Char : Length::Short;
            p += p[1] == L'h' ? 2 : 1;
        } else if (*p == L'z' || *p == L'I') {
            length = Length::Size;
            ++p;
        } else if (*p == L'w') {
            ++p;
        }
        const wchar_t conversion = *p;
        if (conversion == 0 || !std::wcschr(L"diuxXofFeEgGcCsS", conversion)) {
            out.append(conversionStart);  // unknown: no argument of a known type to take
            break;
        }
        ++p;
        switch (conversion) {
        case L'd':
        case L'i': {
            long long v = 0;
            switch (length) {
            case Length::Long: v = va_arg(ap, long); break;
            case Length::LongLong: v = va_arg(ap, long long); break;
            case Length::Size: v = static_cast<long long>(va_arg(ap, size_t)); break;
            case Length::Short: v = static_cast<short>(va_arg(ap, int)); break;
            case Length::Char: v = static_cast<signed char>(va_arg(ap, int)); break;
            default: v = va_arg(ap, int); break;
            }
            appendNumber(out, spec + "lld", v);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            unsigned long long v = 0;
            switch (length) {
            case Length::Long: v = va_arg(ap, unsigned long); break;
            case Length::LongLong: v = va_arg(ap, unsigned long long); break;
            case Length::Size: v = va_arg(ap, size_t); break;
            case Length::Short: v = static_cast<unsigned short>(va_arg(ap, unsigned)); break;
            case Length::Char: v = static_cast<unsigned char>(va_arg(ap, unsigned)); break;
            default: v = va_arg(ap, unsigned); break;
            }
            appendNumber(out, spec + "ll" + static_cast<char>(conversion), v);
            break;
        }
        case L'c':
        case L'C': {
            const int c = va_arg(ap, int);
            const wchar_t ch = (narrowText || conversion == L'C') ? static_cast<wchar_t>(static_cast<unsigned char>(c))
                                                                  : static_cast<wchar_t>(c);
            appendPadded(out, escapeControlCharacters(std::wstring(1, ch)), static_cast<size_t>(width), left);
            break;
        }
        case L's':
        case L'S': {
            std::wstring text;
            if (narrowText || conversion == L'S') {
                const char* s = va_arg(ap, const char*);
                if (!s) s = "(null)";
                for (; *s && (precision < 0 || static_cast<long>(text.size()) < precision); ++s)
                    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
            } else {
                const wchar_t* s = va_arg(ap, const wchar_t*);
                if (!s) s = L"(null)";
                const size_t n = std::wcslen(s);
                text.assign(s, precision < 0 ? n : std::min(n, static_cast<size_t>(precision)));
            }
            appendPadded(out, escapeControlCharacters(text), static_cast<size_t>(width), left);
            break;
        }
        default: {  // f F e E g G
            const double v = va_arg(ap, double);
            appendNumber(out, spec + static_cast<char>(conversion), v);
            break;
        }
        }
    }
    va_end(ap);
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
