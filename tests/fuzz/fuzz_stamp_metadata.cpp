// Feeds arbitrary files to the packaging step: stamping may refuse a file (std::invalid_argument)
// but never reads or writes outside it, and what it writes reads back as the stamped text, padded
// to a multiple of 8, with the input's bytes before the block unchanged but for the symbol-table
// pointer it clears.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/metadata_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string texts[] = {
        "{}",
        "{\n\t\"updateXmlUrl\": \"http://h/utility/kestrel/update.xml\",\n\t\"kestrelLauncherArguments\": "
        "\"-postPurchase\"\n}",
    };
    const std::vector<uint8_t> image(data, data + size);
    for (const std::string& json : texts) {
        std::vector<uint8_t> stamped;
        try {
            stamped = velt::stampMetadata(image, json);
        } catch (const std::invalid_argument&) {
            return 0;
        }
        const auto layout = velt::parsePeLayout(data, size);
        if (!layout) std::abort();  // stamped something that is not a PE image
        const size_t end = layout->sectionsEnd;
        if (stamped.size() % 8 != 0 || stamped.size() < end + json.size() + 1) std::abort();
        const size_t symbolPointer = layout->peHeaderOffset + 12;
        for (size_t i = 0; i < end; ++i)
            if (stamped[i] != data[i] && (i < symbolPointer || i >= symbolPointer + 8)) std::abort();

        velt::MemoryFileBytes file(stamped.data(), stamped.size());
        if (velt::readMetadataText(file) != json) std::abort();
    }
    return 0;
}
