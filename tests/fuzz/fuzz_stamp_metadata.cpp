// Feeds arbitrary files to the packaging step: stamping may refuse a file (std::invalid_argument)
// but never reads or writes outside it, and what it writes reads back as the stamped text, padded
// to a multiple of 8, with the input's bytes before the block unchanged but for the symbol-table
// pointer it clears, and every section's raw data, wherever the table puts it, still in the
// copy byte for byte (the block never cuts into a section).
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
        auto unchanged = [&](uint64_t from, uint64_t to) {
            if (to > stamped.size() || to > size) return false;
            for (uint64_t i = from; i < to; ++i)
                if (stamped[i] != data[i] && (i < symbolPointer || i >= symbolPointer + 8)) return false;
            return true;
        };
        if (!unchanged(0, end)) std::abort();
        const uint16_t count = static_cast<uint16_t>(data[layout->peHeaderOffset + 6] | (data[layout->peHeaderOffset + 7] << 8));
        for (uint16_t i = 0; i < count; ++i) {
            const uint8_t* entry = data + layout->headersEnd - 40u * (count - i);
            auto rd32 = [](const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; };
            const uint64_t pointer = rd32(entry + 20), rawSize = rd32(entry + 16);
            if (pointer != 0 && !unchanged(pointer, pointer + rawSize)) std::abort();  // a section cut or overwritten
        }

        velt::MemoryFileBytes file(stamped.data(), stamped.size());
        if (velt::readMetadataText(file) != json) std::abort();
    }
    return 0;
}
