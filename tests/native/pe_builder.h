// Builds small PE32 images in memory for the layout tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace velt::test {

struct Section {
    uint32_t rawPointer;
    uint32_t rawSize;
};

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

constexpr uint32_t kPe = 0x80;

// Headers at the front, then `fileSize` bytes in all (filled with 0xCC past the headers).
inline std::vector<uint8_t> buildPe(const std::vector<Section>& sections, uint32_t fileSize)
{
    std::vector<uint8_t> b(fileSize, 0xCC);
    const size_t headerEnd = kPe + 248 + sections.size() * 40;
    std::memset(b.data(), 0, headerEnd < fileSize ? headerEnd : fileSize);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 60, kPe);
    b[kPe] = 'P';
    b[kPe + 1] = 'E';
    put16(b, kPe + 4, 0x14C);
    put16(b, kPe + 6, static_cast<uint16_t>(sections.size()));
    put16(b, kPe + 20, 224);
    put16(b, kPe + 24, 0x10B);
    for (size_t i = 0; i < sections.size(); ++i) {
        const size_t e = kPe + 248 + i * 40;
        std::memcpy(&b[e], ".sect\0\0\0", 8);
        put32(b, e + 16, sections[i].rawSize);
        put32(b, e + 20, sections[i].rawPointer);
    }
    return b;
}

inline void putBytes(std::vector<uint8_t>& b, size_t at, const std::string& s)
{
    std::memcpy(&b[at], s.data(), s.size());
}

}  // namespace velt::test
