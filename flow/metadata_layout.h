// The layout of the metadata block that the packaging step appends to the stub: after the last
// section's raw data, before the Authenticode certificate table. Pure byte logic, used by the
// stub (reading its own file), by the stamping tool (writing a copy) and by the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velt {

// The GUID the packaging step may put into the block; every occurrence is removed before use.
extern const wchar_t kMetadataMarker[];

struct PeLayout {
    uint32_t peHeaderOffset = 0;
    uint32_t sectionsEnd = 0;         // PointerToRawData + SizeOfRawData of the furthest section
    uint32_t securityDirOffset = 0;   // file offset of the security data-directory entry
    uint32_t certTableOffset = 0;     // from the security directory, 0 when unsigned
    uint32_t certTableSize = 0;
    bool isPe32 = false;              // optional-header magic 0x10B
};

// Reads the headers from the first `size` bytes of a file. Every read is bounds-checked: headers
// or a section table that lie outside those bytes give nullopt, as does a missing "MZ" or PE
// signature. Sections with pointer 0 never count; among equal pointers the first one counts.
std::optional<PeLayout> parsePeLayout(const uint8_t* data, size_t size);

// The block start in a file of `fileSize` bytes whose headers are `data[0..size)`, or nullopt
// when the file carries no block (not a PE image, or the sections end at or after the file end).
std::optional<uint32_t> locateMetadataBlock(const uint8_t* data, size_t size, uint64_t fileSize);

// The block's text: the bytes from `blockStart` up to the first NUL (or the end of the data).
std::string metadataTextAt(const uint8_t* data, size_t size, uint32_t blockStart);

// Removes every occurrence of kMetadataMarker, left to right, without overlap.
std::wstring removeMetadataMarker(std::wstring text);

// The packaging step: a copy of `image` with `json` stored at the end of its sections, followed
// by NULs up to the next multiple of 8 (at least one). Anything after the sections in the input
// (an earlier block) is replaced. Throws std::invalid_argument with a readable message for a
// file that is not a PE32 image, that is already signed, or a text that contains a NUL.
std::vector<uint8_t> stampMetadata(const std::vector<uint8_t>& image, const std::string& json);

}  // namespace velt
