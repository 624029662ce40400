#include "flow/metadata_layout.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace velt {

const wchar_t kMetadataMarker[] = L"{B2F2947D-EA42-43B8-8EB5-BB9FE4B236E2}";

namespace {

constexpr uint32_t kPeHeaderPointerOffset = 60;
constexpr uint32_t kSectionTableOffset = 248;   // signature 4 + file header 20 + PE32 optional header 224
constexpr uint32_t kSectionEntrySize = 40;
constexpr uint32_t kSecurityDirOffset = 24 + 128;  // optional header + data directory 4
constexpr uint16_t kPe32Magic = 0x10B;

bool fits(size_t size, uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; }

uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t rd32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void wr32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The end of the furthest section: among the entries, the one with the largest raw pointer
// (strictly larger, so among equal pointers the first counts and pointer 0 never does).
uint32_t sectionsEndOf(const uint8_t* table, uint16_t sectionCount)
{
    uint32_t furthestPointer = 0;
    uint32_t end = 0;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* entry = table + static_cast<size_t>(i) * kSectionEntrySize;
        const uint32_t rawSize = rd32(entry + 16);
        const uint32_t rawPointer = rd32(entry + 20);
        if (rawPointer > furthestPointer) {
            furthestPointer = rawPointer;
            end = rawPointer + rawSize;  // unsigned 32-bit, as the image format stores it
        }
    }
    return end;
}

}  // namespace

std::optional<PeLayout> parsePeLayout(const uint8_t* data, size_t size)
{
    if (!data || !fits(size, 0, kPeHeaderPointerOffset + 4) || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
    PeLayout layout;
    layout.peHeaderOffset = rd32(data + kPeHeaderPointerOffset);
    const uint64_t pe = layout.peHeaderOffset;
    if (!fits(size, pe, 8)) return std::nullopt;
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) return std::nullopt;

    const uint16_t sectionCount = rd16(data + pe + 6);
    const uint64_t table = pe + kSectionTableOffset;
    if (!fits(size, table, static_cast<uint64_t>(sectionCount) * kSectionEntrySize)) return std::nullopt;

    layout.sectionsEnd = sectionsEndOf(data + table, sectionCount);
    layout.headersEnd = table + static_cast<uint64_t>(sectionCount) * kSectionEntrySize;

    if (fits(size, pe + 24, 2)) layout.isPe32 = rd16(data + pe + 24) == kPe32Magic;
    if (layout.isPe32 && fits(size, pe + kSecurityDirOffset, 8)) {
        layout.securityDirOffset = static_cast<uint32_t>(pe + kSecurityDirOffset);
        layout.certTableOffset = rd32(data + layout.securityDirOffset);
        layout.certTableSize = rd32(data + layout.securityDirOffset + 4);
    }
    return layout;
}

std::optional<uint32_t> locateMetadataBlock(const uint8_t* data, size_t size, uint64_t fileSize)
{
    const auto layout = parsePeLayout(data, size);
    if (!layout || layout->sectionsEnd >= fileSize) return std::nullopt;
    return layout->sectionsEnd;
}

std::string metadataTextAt(const uint8_t* data, size_t size, uint32_t blockStart)
{
    if (!data || blockStart >= size) return {};
    const uint8_t* begin = data + blockStart;
    const uint8_t* end = data + size;
    const uint8_t* p = begin;
    while (p != end && *p != 0) ++p;
    return std::string(reinterpret_cast<const char*>(begin), static_cast<size_t>(p - begin));
}

size_t MemoryFileBytes::readAt(uint64_t offset, uint8_t* buffer, size_t length)
{
    if (!data_ || offset >= size_) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
    std::memcpy(buffer, data_ + offset, n);
    return n;
}

namespace {

bool readExact(FileBytes& file, uint64_t offset, uint8_t* buffer, size_t length)
{
    if (offset > file.size() || length > file.size() - offset) return false;
    return length == 0 || file.readAt(offset, buffer, length) == length;
}

}  // namespace

std::string readMetadataText(FileBytes& file)
{
    try {
        const uint64_t fileSize = file.size();
        uint8_t dosHeader[kPeHeaderPointerOffset + 4];
        if (!readExact(file, 0, dosHeader, sizeof(dosHeader)) || dosHeader[0] != 'M' || dosHeader[1] != 'Z') return {};
        const uint64_t pe = rd32(dosHeader + kPeHeaderPointerOffset);
        uint8_t peStart[8];
        if (!readExact(file, pe, peStart, sizeof(peStart))) return {};
        if (peStart[0] != 'P' || peStart[1] != 'E' || peStart[2] != 0 || peStart[3] != 0) return {};
        const uint16_t sectionCount = rd16(peStart + 6);
        std::vector<uint8_t> table(static_cast<size_t>(sectionCount) * kSectionEntrySize);
        if (!readExact(file, pe + kSectionTableOffset, table.data(), table.size())) return {};

        const uint64_t blockStart = sectionsEndOf(table.data(), sectionCount);
        if (blockStart >= fileSize) return {};

        // Up to the first NUL, a piece at a time: whatever padding follows the text is never read.
        std::string text;
        std::vector<uint8_t> piece(64 * 1024);
        for (uint64_t at = blockStart; at < fileSize;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), fileSize - at));
            if (file.readAt(at, piece.data(), want) != want) return {};
            const void* nul = std::memchr(piece.data(), 0, want);
            const size_t take = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - piece.data()) : want;
            text.append(reinterpret_cast<const char*>(piece.data()), take);
            if (nul) break;
            at += want;
        }
        return text;
    } catch (const std::bad_alloc&) {
        return {};  // a text too large to hold is no metadata this program could use
    } catch (const std::length_error&) {
        return {};
    }
}

std::wstring removeMetadataMarker(std::wstring text)
{
    const std::wstring marker(kMetadataMarker);
    std::wstring out;
    out.reserve(text.size());
    size_t pos = 0;
    for (size_t hit; (hit = text.find(marker, pos)) != std::wstring::npos; pos = hit + marker.size())
        out.append(text, pos, hit - pos);
    out.append(text, pos, std::wstring::npos);
    return out;
}

std::vector<uint8_t> stampMetadata(const std::vector<uint8_t>& image, const std::string& json)
{
    const auto layout = parsePeLayout(image.data(), image.size());
    if (!layout) throw std::invalid_argument("not a PE image (no MZ/PE header, or headers outside the file)");
    if (!layout->isPe32) throw std::invalid_argument("not a PE32 (32-bit) image");
    if (layout->certTableOffset != 0 || layout->certTableSize != 0)
        throw std::invalid_argument("the image already carries a certificate table: stamp the unsigned stub, then sign");
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
