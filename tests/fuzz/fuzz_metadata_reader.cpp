// Feeds arbitrary files to the metadata reader as the stub runs it on its own file (piece by
// piece) and to the whole-buffer layout functions: neither may read outside the file, and both
// must find the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flow/metadata_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velt::MemoryFileBytes file(data, size);
    const std::string pieces = velt::readMetadataText(file);

    const auto start = velt::locateMetadataBlock(data, size, size);
    const std::string whole = start ? velt::metadataTextAt(data, size, *start) : std::string();
    if (pieces != whole) std::abort();

    const auto layout = velt::parsePeLayout(data, size);
    if (layout && (layout->headersEnd > size || (start && *start != layout->sectionsEnd))) std::abort();
    return 0;
}
