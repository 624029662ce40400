#include "flow/embedded_metadata.h"

#include <windows.h>

#include <new>
#include <vector>

#include "app/bootstrap_log.h"
#include "app/text_convert.h"
#include "app/win_handles.h"
#include "flow/metadata_layout.h"

namespace velt {

bool RetrieveMetadata(std::wstring& text)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    logInfo(L"Path of the stub executable = [%s]\n", path);
    text = readEmbeddedMetadata(path);
    return true;
}

std::wstring readEmbeddedMetadata(const std::wstring& path)
{
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};

    // The whole image is read once to check its headers (the stub is about a megabyte).
    const DWORD size = ::GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE) return {};
    std::vector<uint8_t> image;
    try {
        image.resize(size);
    } catch (const std::bad_alloc&) {
        return {};
    }
    DWORD got = 0;
    if (size != 0 && !::ReadFile(file.get(), image.data(), size, &got, nullptr)) return {};
    image.resize(got);

    const DWORD sizeNow = ::GetFileSize(file.get(), nullptr);
    const auto blockStart = locateMetadataBlock(image.data(), image.size(), sizeNow);
    if (!blockStart) return {};

    // The tail is read a second time, from the file as it is now: n bytes plus a terminator.
    const DWORD n = sizeNow - *blockStart;
    if (::SetFilePointer(file.get(), static_cast<LONG>(*blockStart), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return {};
    std::vector<uint8_t> tail(static_cast<size_t>(n) + 1, 0);
    DWORD tailGot = 0;
    if (!::ReadFile(file.get(), tail.data(), n + 1, &tailGot, nullptr)) return {};
    tail[n] = 0;

    const std::string narrow = metadataTextAt(tail.data(), tail.size(), 0);
    return removeMetadataMarker(acpToWide(narrow));
}

}  // namespace velt
