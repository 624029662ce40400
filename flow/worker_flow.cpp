#include "flow/worker_flow.h"

#include <windows.h>

#include <json/json.h>

#include <cstdio>
#include <stdexcept>

#include "app/app_state.h"
#include "app/bootstrap_log.h"
#include "app/text_convert.h"
#include "flow/install_launch.h"
#include "flow/metadata_check.h"
#include "flow/installed_version.h"
#include "flow/update_manifest.h"
#include "flow/update_trust.h"
#include "flow/version_compare.h"
#include "net/download_driver.h"
#include "net/manifest_signature.h"
#include "ui/main_dlg.h"
#include "ui/ui_language.h"

namespace velt {

namespace {

constexpr int kErrorMetadataNotJson = 3;

// The keys the metadata names for the manifest's signature, decoded by the platform; none for a
// delivery that does not ask for a signed manifest. Anything else makes the metadata unusable.
void loadUpdateKeys(const Json::Value& root, ManifestKeys& keys)
{
    std::vector<std::string> texts;
    std::size_t index = 0;
    const UpdateKeysProblem problem = readUpdateXmlKeys(root, texts, index);
    if (problem == UpdateKeysProblem::NotString || problem == UpdateKeysProblem::NotBase64) {
        logError(L"The metadata's \"updateXmlKeys\" %s (entry %u).\n", acpToWide(describeUpdateKeysProblem(problem)).c_str(),
                 static_cast<unsigned>(index + 1));
        failWithCode(kErrorMetadataNotJson);
    }
    if (problem != UpdateKeysProblem::None) {
        logError(L"The metadata's \"updateXmlKeys\" %s.\n", acpToWide(describeUpdateKeysProblem(problem)).c_str());
        failWithCode(kErrorMetadataNotJson);
    }
    if (!texts.empty() && !keys.load(texts, index)) {
        logError(L"The metadata's \"updateXmlKeys\" entry %u is not an ECDSA P-256 public key.\n",
                 static_cast<unsigned>(index + 1));
        failWithCode(kErrorMetadataNotJson);
    }
}

// A signed manifest may name a time after which it must not be believed: a server that keeps
// answering with an old signed manifest cannot hold the delivery at that version for ever.
void checkExpiry(const ManifestInfo& manifest)
{
    if (!manifest.hasExpiry) return;
    if (!manifest.expiryValid) {
        logError(L"The update manifest's expiry time is not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ.\n");
        failWithCode(kErrorInstallerNotTrusted);
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (unixSecondsFromFileTime(ticks) > manifest.expires) {
        logError(L"The update manifest has expired.\n");
        failWithCode(kErrorInstallerNotTrusted);
    }
}

}  // namespace

void failWithCode(int code)
{
    logError(L"Error occurred, error code = [%d].\n", code);
    throw std::logic_error(std::to_string(code));
}

void runBootstrapFlow(const std::wstring& metadataText)
{
    CMainDlg* dlg = g_mainDlg;
    if (g_debugFlag) ::MessageBoxW(dlg ? dlg->hwnd() : nullptr, L"Debug", L"Debug", MB_OK);

    selectUiLanguage();
    if (dlg) dlg->showInitializing();

    if (g_showMetadataFlag) {
        logError(L"Embedded metadata = [%s].\n", metadataText.c_str());
        if (dlg) dlg->closeDialog();
        return;
    }

    const std::string document = wideToAcp(metadataText);
    Json::Value root;
    if (!parseMetadataDocument(document, root)) failWithCode(kErrorMetadataNotJson);
    ManifestKeys keys;
    loadUpdateKeys(root, keys);

    // Read once, from the bytes received: the version and the installer's URL come from the same
    // document, whatever happens to update.xml on disk afterwards.
    ManifestInfo manifest = parseManifest(fetchUpdateManifest(root, keys));
    if (!keys.empty()) {
        manifest.signatureVerified = true;
        checkExpiry(manifest);
    }
    const std::string installedVersion = getInstalledVersion();

    // Nothing installed: install whatever the manifest says. Otherwise only a strictly newer
    // four-part version is installed.
    const bool install = installedVersion.empty() || isNewerVersion(manifest.version, installedVersion);
    if (install) installDesktopApp(manifest);

    launchKestrel(root);

    if (dlg) dlg->closeDialog();
}

}  // namespace velt
