// The two download steps of the bootstrap flow. Failures leave as std::logic_error whose text
// is the error code, after the ERROR line "Error occurred, error code = [N]." (via failWithCode):
//   7  the download session could not be set up (proxy manager failure, unusable URL)
//   8  the download failed (no 200 answer, send failure, body incomplete or not written), or
//      the installer's name from the URL is not a plain file name
//   9  the installer on disk is not byte for byte what was downloaded, its signature is not
//      trusted, or its signer is not the maker
#pragma once

#include <string>

#include "app/win_handles.h"
#include "flow/manifest_reader.h"
#include "net/download_logic.h"
#include "net/downloader.h"

namespace velt {

// The subject text that identifies the maker's certificates.
extern const wchar_t kSignerSubject[];

constexpr int kErrorSessionNotOpened = 7;
constexpr int kErrorDownloadFailed = 8;
constexpr int kErrorInstallerNotTrusted = 9;

// Fetches `url` into `filePath` (relative names land in the current folder). Never deletes
// the file.
void downloadFile(const std::wstring& url, const std::wstring& filePath, DownloadProgressCallback callback);

// downloadFile without progress that also returns the bytes it received, which are exactly the
// bytes it wrote to `filePath`: what the caller reads is what the server sent, whoever touches
// the file afterwards.
std::string downloadFileKeepingBytes(const std::wstring& url, const std::wstring& filePath);

// The installer as it was checked: its local name, its full path in the current folder, and
// the handle that keeps that very file from being written, renamed or deleted until it has run.
struct VerifiedInstaller {
    std::wstring fileName;
    std::wstring fullPath;
    FileHandle file;
};

// Downloads the installer that this run's manifest names for "windows" into the current folder
// (named after the URL's last path segment, see installerFileNameFromUrl) with the progress
// dialog following, and accepts it only when the file holds exactly the bytes received and its
// signature is trusted and signed by the maker. A name that is not a plain file name is refused
// (8) before anything is written. The download writes through one handle that nobody else may
// write through; the file is then opened without write or delete sharing, hashed again under
// that lock and compared with the hash of what was written, before the signature is checked, and
// stays open in the result, so nobody can swap the checked file for another one before it is
// started. A download this run wrote that fails (8) or is refused (9) is deleted before the error
// leaves: nothing untrusted stays behind under the installer's name. A file of that name that
// this run never wrote is left alone.
VerifiedInstaller downloadAndVerifyInstaller(const ManifestInfo& manifest);

// Opens a file for reading with only read sharing: it can be read and started, but not written,
// renamed or deleted while the handle is open.
FileHandle openLockedForExecution(const std::wstring& path);

}  // namespace velt
