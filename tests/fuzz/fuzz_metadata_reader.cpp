// Feeds arbitrary files to the metadata reader and the stamping step: neither may read outside
// the buffer, and a stamped image must give back exactly the stamped text.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/metadata_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto start = velt::locateMetadataBlock(data, size, size);
    if (start) (void)velt::metadataTextAt(data, size, *start);

    std::vector<uint8_t> image(data, data + size);
    const std::string json = "{\"updateXmlUrl\":\"http://x/u.xml\"}";
    try {
        const auto stamped = velt::stampMetadata(image, json);
        const auto at = velt::locateMetadataBlock(stamped.data(), stamped.size(), stamped.size());
        if (!at || velt::metadataTextAt(stamped.data(), stamped.size(), *at) != json || stamped.size() % 8 != 0)
            std::abort();
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
