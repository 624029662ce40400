#include "proxymanager/text_convert.h"

#include "proxymanager/secret_wipe.h"

#include <stdexcept>
#include <type_traits>

namespace VELT {
namespace ProxyManager {

// Written out by hand rather than through the standard library's UTF-8 facets, which would bring
// the whole locale machinery into the stub. The rules are those facets' rules:
// - UTF-8 in: no overlong forms, nothing above U+10FFFF, no sequence cut off at the end; an
//   encoded surrogate (ED A0..BF xx) is taken as that code unit;
// - wide out: wide text is UTF-16 where wchar_t has 16 bits (Windows), so a pair becomes one
//   code point and a lone surrogate is an error; where wchar_t has 32 bits each unit is one code
//   point (a surrogate too), and values above U+10FFFF are errors.

namespace {

[[noreturn]] void badConversion()
{
    throw std::range_error("bad conversion");
}

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// One code point from text[pos...length); advances pos.
char32_t readUtf8(const char* text, std::size_t length, std::size_t& pos)
{
    const std::size_t avail = length - pos;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char c1 = at(0);
    std::size_t size;
    char32_t code;
    if (c1 < 0x80) {
        size = 1;
        code = c1;
    } else if (c1 < 0xC2) {  // a continuation byte, or an overlong two-byte form
        badConversion();
    } else if (c1 < 0xE0) {
        size = 2;
        code = c1 & 0x1F;
    } else if (c1 < 0xF0) {
        size = 3;
        code = c1 & 0x0F;
    } else if (c1 < 0xF5) {
        size = 4;
        code = c1 & 0x07;
    } else {
        badConversion();
    }
    if (avail < size) badConversion();
    for (std::size_t i = 1; i < size; ++i) {
        if (!isContinuation(at(i))) badConversion();
        code = (code << 6) | (at(i) & 0x3F);
    }
    // Overlong three- and four-byte forms, and four-byte forms beyond U+10FFFF.
    if ((size == 3 && code < 0x800) || (size == 4 && (code < 0x10000 || code > 0x10FFFF))) badConversion();
    pos += size;
    return code;
}

template <typename NarrowString>
void appendUtf8(NarrowString& out, char32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends the wide form of utf8[0, length) to out: at most one wide unit per byte.
template <typename WideString>
void decodeUtf8(const char* utf8, std::size_t length, WideString& out)
{
    for (std::size_t pos = 0; pos < length;) {
        const char32_t code = readUtf8(utf8, length, pos);
        if (sizeof(wchar_t) == 2 && code > 0xFFFF) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
    }
}

// Appends the UTF-8 form of wide[0, length) to out: at most four bytes per wide unit.
template <typename NarrowString>
void encodeUtf8(const wchar_t* wide, std::size_t length, NarrowString& out)
{
    using Unit = std::conditional_t<sizeof(wchar_t) == 2, char16_t, char32_t>;
    for (std::size_t i = 0; i < length; ++i) {
        // Through an unsigned type of the same width, so that no wide unit turns negative.
        char32_t code = static_cast<char32_t>(static_cast<Unit>(wide[i]));
        if (sizeof(wchar_t) == 2 && isHighSurrogate(code)) {
            if (i + 1 >= length || !isLowSurrogate(static_cast<Unit>(wide[i + 1]))) badConversion();
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<Unit>(wide[++i]) - 0xDC00);
        } else if ((sizeof(wchar_t) == 2 && isLowSurrogate(code)) || code > 0x10FFFF) {
            badConversion();
        }
        appendUtf8(out, code);
    }
}

}  // namespace

std::wstring ToWide(const std::string& utf8)
{
    std::wstring wide;
    wide.reserve(utf8.size());
    decodeUtf8(utf8.data(), utf8.size(), wide);
    return wide;
}

std::string ToUtf8(const std::wstring& wide)
{
    std::string utf8;
    utf8.reserve(wide.size());
    encodeUtf8(wide.data(), wide.size(), utf8);
    return utf8;
}

// The result is built in place, in a buffer made large enough for the longest result before the
// first character goes in: it never moves, so no copy of the secret is freed unwiped.
void ToWideSecret(const char* utf8, std::size_t length, std::wstring& out)
{
    WipeText(out);
    out.reserve(length);
    try {
        decodeUtf8(utf8, length, out);
    } catch (const std::range_error&) {
        WipeText(out);
        throw;
    }
}

void ToUtf8Secret(const std::wstring& wide, std::string& out)
{
    WipeText(out);
    out.reserve(4 * wide.size());
    try {
        encodeUtf8(wide.data(), wide.size(), out);
    } catch (const std::range_error&) {
        WipeText(out);
        throw;
    }
}

}  // namespace ProxyManager
}  // namespace VELT
