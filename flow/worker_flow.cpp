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
#include "flow/version_compare.h"
#include "ui/main_dlg.h"
#include "ui/ui_language.h"

namespace velt {

namespace {

constexpr int kErrorMetadataNotJson = 3;

}  // namespace

void failWithCode(int code)
{
    logError(L"Error occurred, error code = [%d].\n", code);
    char digits[64] = {};
    std::snprintf(digits, sizeof(digits), "%d", code);
    throw std::logic_error(digits);
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

    fetchUpdateManifest(root);
    const std::string manifestVersion = getManifestVersion();
    const std::string installedVersion = getInstalledVersion();

    // Nothing installed: install whatever the manifest says. Otherwise only a strictly newer
    // four-part version is installed.
    const bool install = installedVersion.empty() || isNewerVersion(manifestVersion, installedVersion);
    if (install) installDesktopApp();

    launchKestrel(root);

    if (dlg) dlg->closeDialog();
}

}  // namespace velt
