#include "net/download_driver.h"

#include <exception>
#include <memory>

#include "app/bootstrap_log.h"
#include "app/text_convert.h"
#include "flow/worker_flow.h"
#include "net/sha256.h"
#include "net/signature_verifier.h"
#include "ui/main_dlg.h"

namespace velt {

const wchar_t kSignerSubject[] = L"Veltrane, Inc";

namespace {

// How one download ended: `code` 0 when the body is in the file, otherwise the code the
// download fails with; whether it wrote the file at all; and the hash of what it wrote.
// Whatever goes wrong inside the session ends in one of the two codes, so the window always
// learns of it.
struct FetchOutcome {
    int code = 0;
    bool wroteFile = false;
    bool hashed = false;
    Sha256Digest digest{};
};

FetchOutcome fetchInto(const std::wstring& url, const std::wstring& filePath, DownloadProgressCallback callback,
                       std::string* body = nullptr, std::uint64_t limit = 0)
{
    FetchOutcome outcome;
    auto downloader = std::make_shared<CDownloader>(url, filePath);
    downloader->KeepBody(body);
    downloader->LimitBytes(limit);
    if (!downloader->Open()) {
        outcome.code = kErrorSessionNotOpened;
        return outcome;
    }
    try {
        if (!downloader->Fetch(callback)) outcome.code = kErrorDownloadFailed;
    } catch (const std::exception&) {
        logError(L"The download ended with an unexpected failure.\n");
        outcome.code = kErrorDownloadFailed;
    }
    // More than the signed manifest announced is not a failed download but another file.
    if (downloader->exceededLimit()) outcome.code = kErrorInstallerNotTrusted;
    outcome.wroteFile = downloader->wroteFile();
    if (outcome.code == 0) outcome.hashed = downloader->finishHash(outcome.digest);
    return outcome;
}

}  // namespace

void downloadFile(const std::wstring& url, const std::wstring& filePath, DownloadProgressCallback callback)
{
    if (const int code = fetchInto(url, filePath, callback).code) failWithCode(code);
}

std::string downloadFileKeepingBytes(const std::wstring& url, const std::wstring& filePath)
{
    std::string body;
    if (const int code = fetchInto(url, filePath, nullptr, &body).code) failWithCode(code);
    return body;
}

FileHandle openLockedForExecution(const std::wstring& path)
{
    return FileHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

namespace {

// The current folder is the stub's own, where the download lands.
std::wstring fullPathInCurrentFolder(const std::wstring& fileName)
{
    const DWORD needed = ::GetFullPathNameW(fileName.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring path(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(fileName.c_str(), needed, &path[0], nullptr);
    if (written == 0 || written >= needed) return {};
    path.resize(written);
    return path;
}

// Leaves with `code` after the file is gone: a half-written or unverified program must not stay
// next to the stub under the installer's name, for anyone to start by hand.
[[noreturn]] void discardAndFail(const std::wstring& fullPath, int code)
{
    if (!::DeleteFileW(fullPath.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        logError(L"Cannot delete the installer download, GetLastError() = %u.\n",
                 static_cast<unsigned>(::GetLastError()));
    failWithCode(code);
}

}  // namespace

VerifiedInstaller downloadAndVerifyInstaller(const ManifestInfo& manifest)
{
    VerifiedInstaller installer;
    // A signed manifest answers for the installer only through its pin: without one it names no
    // particular file, and nothing is requested.
    if (manifest.signatureVerified && !manifest.pinValid) {
        logError(L"The signed update manifest names no valid sha256 and size for the installer.\n");
        failWithCode(kErrorInstallerNotTrusted);
    }
    const std::wstring url = acpToWide(manifest.installerUrl);
    installer.fileName = installerFileNameFromUrl(url);
    if (url.empty()) {
        // No URL, nothing to name: the session refuses it with its own ERROR line (7), like any
        // other URL it cannot use.
        if (const int code = fetchInto(url, url, nullptr).code) failWithCode(code);
        failWithCode(kErrorSessionNotOpened);
    }
    const FileNameProblem problem = checkPlainFileName(installer.fileName);
    if (problem != FileNameProblem::Ok) {
        // The name is not repeated here: it came from the network and is exactly what is wrong.
        logError(L"The installer's file name from the manifest is refused: %s.\n", describeFileNameProblem(problem));
        failWithCode(kErrorDownloadFailed);
    }
    installer.fullPath = fullPathInCurrentFolder(installer.fileName);
    if (installer.fullPath.empty()) {
        logError(L"The installer's full path cannot be formed, GetLastError() = %u.\n",
                 static_cast<unsigned>(::GetLastError()));
        failWithCode(kErrorDownloadFailed);
    }

    // Only a download that wrote the file has a file to take away: one that never got a body
    // leaves a same-named file it did not write as it was.
    const FetchOutcome fetched = fetchInto(url, installer.fullPath, &CMainDlg::onDownloadProgress, nullptr,
                                           manifest.signatureVerified ? manifest.size : 0);
    if (fetched.code != kErrorSessionNotOpened && fetched.code != 0 && fetched.wroteFile)
        discardAndFail(installer.fullPath, fetched.code);
    if (fetched.code != 0) failWithCode(fetched.code);

    // The write handle had to be closed before the file can be locked for the check and the
    // run; whatever happened to the file in between shows in its hash under the lock.
    installer.file = openLockedForExecution(installer.fullPath);
    if (!installer.file) discardAndFail(installer.fullPath, kErrorDownloadFailed);
    Sha256Digest onDisk{};
    if (!fetched.hashed || !sha256OfHandle(installer.file.get(), onDisk) || onDisk != fetched.digest) {
        logError(L"The installer file is not the one that was downloaded.\n");
        installer.file.reset();
        discardAndFail(installer.fullPath, kErrorInstallerNotTrusted);
    }
    if (manifest.signatureVerified && onDisk != manifest.sha256) {
        logError(L"The installer is not the one the signed update manifest names.\n");
        installer.file.reset();
        discardAndFail(installer.fullPath, kErrorInstallerNotTrusted);
    }
    bool trusted = false;
    {
        CSignatureVerifier verifier(installer.fullPath, installer.file.get());
        trusted = verifier.VerifyTrust() == 0 && verifier.HasCertificateSubject(kSignerSubject);
    }
    if (!trusted) {
        installer.file.reset();
        discardAndFail(installer.fullPath, kErrorInstallerNotTrusted);
    }
    return installer;
}

}  // namespace velt
