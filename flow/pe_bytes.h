// Little-endian fields of a PE file's headers, for the metadata layout's reader and the
// packaging step's writer.
#pragma once

#include <cstdint>

namespace velt {
namespace pe {

constexpr uint32_t kPeHeaderPointerOffset = 60;
constexpr uint32_t kFileHeaderEnd = 24;           // signature 4 + file header 20
constexpr uint32_t kOptionalHeaderSizeField = 20; // SizeOfOptionalHeader, from the signature
constexpr uint32_t kSectionEntrySize = 40;
constexpr uint32_t kSecurityDirInOptional = 128;  // data directory 4 of a PE32 optional header
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

inline uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t rd32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void wr32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}


}  // namespace pe
}  // namespace velt
