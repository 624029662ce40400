// The packaging step's writing of the metadata block (declared in flow/metadata_layout.h). In an
// object of its own: the stub reads its block but never writes one, and the linker keeps every
// function of an object it links.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "flow/metadata_layout.h"
#include "flow/pe_bytes.h"

namespace velt {

using namespace pe;

std::vector<uint8_t> stampMetadata(const std::vector<uint8_t>& image, const std::string& json)
{
    const auto layout = parsePeLayout(image.data(), image.size());
    if (!layout) throw std::invalid_argument("not a PE image (no MZ/PE header, or headers outside the file)");
    if (layout->isPe32Plus)
        throw std::invalid_argument("a PE32+ (64-bit) image: the stub is a PE32 (32-bit) image");
    if (!layout->isPe32) throw std::invalid_argument("not a PE32 (32-bit) image");
    if (layout->certTableOffset != 0 || layout->certTableSize != 0)
        throw std::invalid_argument("the image already carries a certificate table: stamp the unsigned stub, then sign");
    if (!layout->sectionsFitBeforeBlock()) {
        // Named, so that the release engineer can see which part of the build is out of place.
        const size_t entry = layout->headersEnd -
                             kSectionEntrySize * (rd16(image.data() + layout->peHeaderOffset + 6) - layout->overrunSection);
        std::string name(reinterpret_cast<const char*>(image.data() + entry), 8);
        name.resize(std::strlen(name.c_str()));
        const uint64_t end = static_cast<uint64_t>(rd32(image.data() + entry + 20)) + rd32(image.data() + entry + 16);
        char detail[200];
        if (end > 0xFFFFFFFFull)
            std::snprintf(detail, sizeof(detail), "section %d (\"%s\") wraps around 32 bits: its raw data would end at 0x%llx",
                          layout->overrunSection + 1, name.c_str(), static_cast<unsigned long long>(end));
        else
            std::snprintf(detail, sizeof(detail),
                          "section %d (\"%s\") ends at 0x%llx, after the block start 0x%x: the metadata would overwrite it",
                          layout->overrunSection + 1, name.c_str(), static_cast<unsigned long long>(end), layout->sectionsEnd);
        throw std::invalid_argument(detail);
    }
    if (layout->sectionsEnd == 0 || layout->sectionsEnd > image.size())
        throw std::invalid_argument("the section table points outside the file");
    // The copy keeps the bytes up to the end of the sections; sections that end inside the
    // headers would cut the headers off (and the block would overwrite them).
    if (layout->sectionsEnd < layout->headersEnd)
        throw std::invalid_argument("the sections end inside the headers");
    if (json.find('\0') != std::string::npos) throw std::invalid_argument("the metadata text contains a NUL byte");

    std::vector<uint8_t> out(image.begin(), image.begin() + layout->sectionsEnd);
    // A COFF symbol table after the sections would be overwritten by the block: drop the pointer.
    const size_t fileHeader = layout->peHeaderOffset + 4;
    if (rd32(out.data() + fileHeader + 8) >= layout->sectionsEnd) {
        wr32(out.data() + fileHeader + 8, 0);
        wr32(out.data() + fileHeader + 12, 0);
    }
    out.insert(out.end(), json.begin(), json.end());
    out.push_back(0);
    while (out.size() % 8 != 0) out.push_back(0);
    return out;
}

}  // namespace velt
