#include "flow/embedded_metadata.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

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

namespace {

// The stub's own file, read where the layout asks, never as a whole: a stub padded to any size
// costs only its headers and its metadata text.
class OwnFileBytes : public FileBytes {
public:
    OwnFileBytes(HANDLE file, uint64_t size) : file_(file), size_(size) {}
    uint64_t size() const override { return size_; }
    size_t readAt(uint64_t offset, uint8_t* buffer, size_t length) override
    {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!::SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return 0;
        size_t done = 0;
        while (done < length) {
            const DWORD want = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 20));
            DWORD got = 0;
            if (!::ReadFile(file_, buffer + done, want, &got, nullptr) || got == 0) break;
            done += got;
        }
        return done;
    }

private:
    HANDLE file_;
    uint64_t size_;
};

}  // namespace

std::wstring readEmbeddedMetadata(const std::wstring& path)
{
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return {};

    OwnFileBytes bytes(file.get(), static_cast<uint64_t>(size.QuadPart));
    try {
        return removeMetadataMarker(acpToWide(readMetadataText(bytes)));
    } catch (const std::bad_alloc&) {
        return {};  // a text too large to convert is no metadata either
    } catch (const std::length_error&) {
        return {};
    }
}

}  // namespace velt
