#include "flow/version_compare.h"

#include <cstdlib>

#include "common/split_pieces.h"

namespace velt {

std::vector<std::string> splitString(const std::string& text, char delimiter)
{
    std::vector<std::string> parts;
    velt::appendPieces(text, delimiter, parts);
    return parts;
}

bool isNewerVersion(const std::string& candidate, const std::string& installed)
{
    const auto a = splitString(candidate, '.');
    const auto b = splitString(installed, '.');
    if (a.size() != 4 || b.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i) {
        // atoi, as the version format has always been read: leading blanks, sign, digits.
        const long x = std::strtol(a[i].c_str(), nullptr, 10);
        const long y = std::strtol(b[i].c_str(), nullptr, 10);
        if (x > y) return true;
        if (x < y) return false;
    }
    return false;
}

std::string lowBytesOf(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t unit : text) out.push_back(static_cast<char>(unit & 0xFF));
    return out;
}

}  // namespace velt
