#include "net/download_driver.h"

#include <memory>

#include "app/text_convert.h"
#include "flow/update_manifest.h"
#include "flow/worker_flow.h"
#include "net/signature_verifier.h"
#include "ui/main_dlg.h"

namespace velt {

const wchar_t kSignerSubject[] = L"Veltrane, Inc";

void downloadFile(const std::wstring& url, const std::wstring& filePath, DownloadProgressCallback callback)
{
    auto downloader = std::make_shared<CDownloader>(url, filePath);
    if (!downloader->Open()) failWithCode(kErrorSessionNotOpened);
    if (!downloader->Fetch(callback)) failWithCode(kErrorDownloadFailed);
}

FileHandle openLockedForExecution(const std::wstring& path)
{
    return FileHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle downloadAndVerifyInstaller()
{
    const std::wstring url = acpToWide(getInstallerUrl());
    const std::wstring fileName = installerFileNameFromUrl(url);
    downloadFile(url, fileName, &CMainDlg::onDownloadProgress);

    // Checked through the locked handle, so what was checked is what will be started.
    FileHandle installer = openLockedForExecution(fileName);
    if (!installer) failWithCode(kErrorDownloadFailed);
    CSignatureVerifier verifier(fileName, installer.get());
    if (verifier.VerifyTrust() != 0) failWithCode(kErrorInstallerNotTrusted);
    if (!verifier.HasCertificateSubject(kSignerSubject)) failWithCode(kErrorInstallerNotTrusted);
    return installer;
}

}  // namespace velt
