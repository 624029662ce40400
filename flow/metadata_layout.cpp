#include "flow/metadata_layout.h"

#include "flow/pe_bytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace velt {

const wchar_t kMetadataMarker[] = L"{B2F2947D-EA42-43B8-8EB5-BB9FE4B236E2}";

namespace {

using namespace pe;

bool readExact(FileBytes& file, uint64_t offset, uint8_t* buffer, size_t length)
{
    if (offset > file.size() || length > file.size() - offset) return false;
    return length == 0 || file.readAt(offset, buffer, length) == length;
}

// The end of the furthest section: among the entries, the one with the largest raw pointer
// (strictly larger, so among equal pointers the first counts and pointer 0 never does). The
// block goes there, so every other section's data must end there too, and nothing may wrap.
void sectionsEndOf(const uint8_t* table, uint16_t sectionCount, PeLayout& layout)
{
    uint32_t furthestPointer = 0;
    uint32_t end = 0;
    uint64_t rawDataEnd = 0;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* entry = table + static_cast<size_t>(i) * kSectionEntrySize;
        const uint32_t rawSize = rd32(entry + 16);
        const uint32_t rawPointer = rd32(entry + 20);
        if (rawPointer == 0) continue;  // no data in the file
        rawDataEnd = std::max<uint64_t>(rawDataEnd, static_cast<uint64_t>(rawPointer) + rawSize);
        if (rawPointer > furthestPointer) {
            furthestPointer = rawPointer;
            end = rawPointer + rawSize;  // unsigned 32-bit, as the image format stores it
        }
    }
    layout.sectionsEnd = end;
    layout.rawDataEnd = rawDataEnd;
    // The section to name when the block would cut one: one that wraps around first (it is the
    // cause), else the first one that reaches past the block start.
    layout.overrunSection = -1;
    for (const uint64_t limit : {uint64_t{0xFFFFFFFF}, uint64_t{end}}) {
        for (uint16_t i = 0; i < sectionCount && rawDataEnd > end && layout.overrunSection < 0; ++i) {
            const uint8_t* entry = table + static_cast<size_t>(i) * kSectionEntrySize;
            const uint32_t rawPointer = rd32(entry + 20);
            if (rawPointer != 0 && static_cast<uint64_t>(rawPointer) + rd32(entry + 16) > limit) layout.overrunSection = i;
        }
    }
}

// One reader of the headers for both the bytes in memory and the stub's own file.
std::optional<PeLayout> parseLayout(FileBytes& file)
{
    uint8_t dos[kPeHeaderPointerOffset + 4];
    if (!readExact(file, 0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
    PeLayout layout;
    layout.peHeaderOffset = rd32(dos + kPeHeaderPointerOffset);
    const uint64_t pe = layout.peHeaderOffset;
    uint8_t head[kFileHeaderEnd];
    if (!readExact(file, pe, head, sizeof(head))) return std::nullopt;
    if (head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) return std::nullopt;

    const uint16_t sectionCount = rd16(head + 6);
    layout.optionalHeaderSize = rd16(head + kOptionalHeaderSizeField);
    const uint64_t optional = pe + kFileHeaderEnd;
    const uint64_t table = optional + layout.optionalHeaderSize;
    std::vector<uint8_t> entries(static_cast<size_t>(sectionCount) * kSectionEntrySize);
    if (!readExact(file, table, entries.data(), entries.size())) return std::nullopt;
    sectionsEndOf(entries.data(), sectionCount, layout);
    layout.headersEnd = table + entries.size();

    uint8_t magic[2];
    if (layout.optionalHeaderSize >= 2 && readExact(file, optional, magic, 2)) layout.magic = rd16(magic);
    layout.isPe32 = layout.magic == kPe32Magic;
    layout.isPe32Plus = layout.magic == kPe32PlusMagic;
    uint8_t security[8];
    if (layout.isPe32 && layout.optionalHeaderSize >= kSecurityDirInOptional + 8 &&
        readExact(file, optional + kSecurityDirInOptional, security, sizeof(security))) {
        layout.securityDirOffset = static_cast<uint32_t>(optional + kSecurityDirInOptional);
        layout.certTableOffset = rd32(security);
        layout.certTableSize = rd32(security + 4);
    }
    return layout;
}

}  // namespace

std::optional<PeLayout> parsePeLayout(const uint8_t* data, size_t size)
{
    MemoryFileBytes file(data, size);
    return parseLayout(file);
}

std::optional<uint32_t> locateMetadataBlock(const uint8_t* data, size_t size, uint64_t fileSize)
{
    const auto layout = parsePeLayout(data, size);
    if (!layout || layout->sectionsEnd >= fileSize || !layout->sectionsFitBeforeBlock()) return std::nullopt;
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

std::string readMetadataText(FileBytes& file)
{
    try {
        const uint64_t fileSize = file.size();
        const auto layout = parseLayout(file);
        if (!layout || layout->sectionsEnd >= fileSize || !layout->sectionsFitBeforeBlock()) return {};
        const uint64_t blockStart = layout->sectionsEnd;

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

}  // namespace velt
