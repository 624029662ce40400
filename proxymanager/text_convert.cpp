#include "proxymanager/text_convert.h"

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

}  // namespace ProxyManager
}  // namespace VELT
