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
    uint64_t rawDataEnd = 0;          // the largest end of any section's raw data, without wrap-around
    int overrunSection = -1;          // the first section whose raw data ends after sectionsEnd, or -1
    uint32_t securityDirOffset = 0;   // file offset of the security data-directory entry
    uint32_t certTableOffset = 0;     // from the security directory, 0 when unsigned
    uint32_t certTableSize = 0;
    uint64_t headersEnd = 0;          // end of the section table
    uint16_t optionalHeaderSize = 0;  // from the file header; the section table follows it
    uint16_t magic = 0;               // optional-header magic, 0 when the header is too short for one
    bool isPe32 = false;              // optional-header magic 0x10B
    bool isPe32Plus = false;          // optional-header magic 0x20B (a 64-bit image)

    // The block goes where the furthest section ends; it must not cut into any section's data.
    bool sectionsFitBeforeBlock() const { return overrunSection < 0; }
};

// Reads the headers from the first `size` bytes of a file. Every read is bounds-checked: headers
// or a section table that lie outside those bytes give nullopt, as does a missing "MZ" or PE
// signature. The section table is found through the optional header's stated size. Sections
// with pointer 0 never count; among equal pointers the first one counts.
std::optional<PeLayout> parsePeLayout(const uint8_t* data, size_t size);

// The block start in a file of `fileSize` bytes whose headers are `data[0..size)`, or nullopt
// when the file carries no block (not a PE image, the sections end at or after the file end, or
// a section's data would reach past the block start or past 4 GB).
std::optional<uint32_t> locateMetadataBlock(const uint8_t* data, size_t size, uint64_t fileSize);

// The block's text: the bytes from `blockStart` up to the first NUL (or the end of the data).
std::string metadataTextAt(const uint8_t* data, size_t size, uint32_t blockStart);

// A file read piece by piece, so that a file of any size can be looked at without holding it.
class FileBytes {
public:
    virtual ~FileBytes() = default;
    virtual uint64_t size() const = 0;
    // Reads up to `length` bytes at `offset`; returns how many were read (fewer only at the end
    // of the file or after a read error).
    virtual size_t readAt(uint64_t offset, uint8_t* buffer, size_t length) = 0;
};

// Bytes already in memory (tests, the fuzz targets).
class MemoryFileBytes : public FileBytes {
public:
    MemoryFileBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t size() const override { return size_; }
    size_t readAt(uint64_t offset, uint8_t* buffer, size_t length) override;

private:
    const uint8_t* data_;
    size_t size_;
};

// The block's text as the stub reads it from its own file: only the headers and the bytes from
// the block's start up to its first NUL are read, in pieces, so the file's size does not matter.
// Gives the same text as locateMetadataBlock + metadataTextAt on the whole file (the same header
// checks, through the same layout code); the empty text
// when there is no block, a read fails or the text cannot be held. Never throws.
std::string readMetadataText(FileBytes& file);

// Removes every occurrence of kMetadataMarker, left to right, without overlap.
std::wstring removeMetadataMarker(std::wstring text);

// The packaging step: a copy of `image` with `json` stored at the end of its sections, followed
// by NULs up to the next multiple of 8 (at least one). Anything after the sections in the input
// (an earlier block) is replaced. Throws std::invalid_argument with a readable message for a
// file that is not a PE32 image (a PE32+ image is named as such), that is already signed, whose
// sections end inside its headers or outside the file, one of whose sections would be cut by the
// block or wraps around 32 bits, or a text that contains a NUL.
std::vector<uint8_t> stampMetadata(const std::vector<uint8_t>& image, const std::string& json);

}  // namespace velt
