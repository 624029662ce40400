// Splitting text at a delimiter the way successive getline reads do, without a stream: a piece
// ends at each delimiter, and text left after the last delimiter (if any) is the last piece, so
// "1.2." gives "1", "2" and "" gives nothing. Shared by the version comparison and the proxy
// manager's list parsing.
#pragma once

#include <algorithm>
#include <vector>

namespace velt {

template <typename String>
void appendPieces(const String& text, typename String::value_type delimiter, std::vector<String>& parts)
{
    for (typename String::size_type start = 0; start < text.size();) {
        const auto end = std::min(text.find(delimiter, start), text.size());
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace velt
