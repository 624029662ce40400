// The two download steps of the bootstrap flow. Failures leave as std::logic_error whose text
// is the error code, after the ERROR line "Error occurred, error code = [N]." (via failWithCode):
//   7  the download session could not be set up (proxy manager failure, unusable URL)
//   8  the download failed (no 200 answer, send failure, body incomplete or not written), or
//      the installer's name from the URL is not a plain file name
//   9  the installer's signature is not trusted, or its signer is not the maker
#pragma once

#include <string>

#include "app/win_handles.h"
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

// The installer as it was checked: its local name, its full path in the current folder, and
// the handle that keeps that very file from being written, renamed or deleted until it has run.
struct VerifiedInstaller {
    std::wstring fileName;
    std::wstring fullPath;
    FileHandle file;
};

// Downloads the installer that the local manifest names for "windows" into the current folder
// (named after the URL's last path segment, see installerFileNameFromUrl) with the progress
// dialog following, and accepts it only when its signature is trusted and signed by the maker.
// A name that is not a plain file name is refused (8) before anything is written. The file is
// opened without write or delete sharing before it is checked and stays open in the result, so
// nobody can swap the checked file for another one before it is started. A download that fails
// (8) or is refused (9) is deleted before the error leaves: nothing untrusted stays behind under
// the installer's name.
VerifiedInstaller downloadAndVerifyInstaller();

// Opens a file for reading with only read sharing: it can be read and started, but not written,
// renamed or deleted while the handle is open.
FileHandle openLockedForExecution(const std::wstring& path);

}  // namespace velt
