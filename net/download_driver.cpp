#include "net/download_driver.h"

#include <exception>
#include <memory>

#include "app/bootstrap_log.h"
#include "app/text_convert.h"
#include "flow/update_manifest.h"
#include "flow/worker_flow.h"
#include "net/signature_verifier.h"
#include "ui/main_dlg.h"

namespace velt {

const wchar_t kSignerSubject[] = L"Veltrane, Inc";

namespace {

// 0 when the body is in the file, otherwise the code the download fails with. Whatever goes
// wrong inside the session ends in one of the two codes, so the window always learns of it.
int fetchInto(const std::wstring& url, const std::wstring& filePath, DownloadProgressCallback callback)
{
    auto downloader = std::make_shared<CDownloader>(url, filePath);
    if (!downloader->Open()) return kErrorSessionNotOpened;
    try {
        if (!downloader->Fetch(callback)) return kErrorDownloadFailed;
    } catch (const std::exception&) {
        logError(L"The download ended with an unexpected failure.\n");
        return kErrorDownloadFailed;
    }
    return 0;
}

}  // namespace

void downloadFile(const std::wstring& url, const std::wstring& filePath, DownloadProgressCallback callback)
{
    if (const int code = fetchInto(url, filePath, callback)) failWithCode(code);
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

VerifiedInstaller downloadAndVerifyInstaller()
{
    VerifiedInstaller installer;
    const std::wstring url = acpToWide(getInstallerUrl());
    installer.fileName = installerFileNameFromUrl(url);
    if (url.empty()) {
        // No URL, nothing to name: the session refuses it with its own ERROR line (7), like any
        // other URL it cannot use.
        if (const int code = fetchInto(url, url, nullptr)) failWithCode(code);
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

    // Nothing is written before the session is open, so only a failed download has a file to
    // take away.
    const int code = fetchInto(url, installer.fullPath, &CMainDlg::onDownloadProgress);
    if (code == kErrorDownloadFailed) discardAndFail(installer.fullPath, code);
    if (code != 0) failWithCode(code);

    // Checked through the locked handle, so what was checked is what will be started.
    installer.file = openLockedForExecution(installer.fullPath);
    if (!installer.file) discardAndFail(installer.fullPath, kErrorDownloadFailed);
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
