#include "proxymanager/text_convert.h"

#include "proxymanager/secret_wipe.h"

#include <codecvt>
#include <locale>
#include <stdexcept>
#include <type_traits>

namespace VELT {
namespace ProxyManager {

namespace {

// Wide text is UTF-16 where wchar_t has 16 bits (Windows) and UTF-32 elsewhere. The plain
// codecvt_utf8 facet would treat 16-bit wide text as UCS-2 and refuse every character outside
// the basic plane, so a password with an emoji could not be converted at all.
using Utf8Facet = std::conditional_t<sizeof(wchar_t) == 2,
                                     std::codecvt_utf8_utf16<wchar_t>,
                                     std::codecvt_utf8<wchar_t>>;
using Converter = std::wstring_convert<Utf8Facet, wchar_t>;
using SecretConverter = std::wstring_convert<Utf8Facet, wchar_t, WipingAllocator<wchar_t>, WipingAllocator<char>>;

}  // namespace

std::wstring ToWide(const std::string& utf8)
{
    try {
        Converter converter;
        std::wstring wide = converter.from_bytes(utf8);
        // A sequence cut off at the end counts as "partial" rather than as an error, and the
        // converter would silently drop it.
        if (converter.converted() != utf8.size()) throw std::range_error("bad conversion");
        return wide;
    } catch (const std::range_error&) {
        throw std::range_error("bad conversion");
    }
}

std::string ToUtf8(const std::wstring& wide)
{
    try {
        Converter converter;
        std::string utf8 = converter.to_bytes(wide);
        if (converter.converted() != wide.size()) throw std::range_error("bad conversion");
        return utf8;
    } catch (const std::range_error&) {
        throw std::range_error("bad conversion");
    }
}

// The result is built in place (no moved-from copy left behind) and wiped when it goes.
void ToWideSecret(const char* utf8, std::size_t length, std::wstring& out)
{
    WipeText(out);
    try {
        SecretConverter converter;
        SecretConverter::wide_string wide = converter.from_bytes(utf8, utf8 + length);
        WipeTextOnExit<SecretConverter::wide_string> wipeWide(wide);
        if (converter.converted() != length) throw std::range_error("bad conversion");
        out.assign(wide.data(), wide.size());
    } catch (const std::range_error&) {
        throw std::range_error("bad conversion");
    }
}

void ToUtf8Secret(const std::wstring& wide, std::string& out)
{
    WipeText(out);
    try {
        SecretConverter converter;
        SecretConverter::byte_string utf8 = converter.to_bytes(wide.data(), wide.data() + wide.size());
        WipeTextOnExit<SecretConverter::byte_string> wipeUtf8(utf8);
        if (converter.converted() != wide.size()) throw std::range_error("bad conversion");
        out.assign(utf8.data(), utf8.size());
    } catch (const std::range_error&) {
        throw std::range_error("bad conversion");
    }
}

}  // namespace ProxyManager
}  // namespace VELT
