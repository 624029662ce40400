#include "flow/install_launch.h"

#include <windows.h>
#include <shlwapi.h>

#include "app/app_state.h"
#include "app/bootstrap_log.h"
#include "app/text_convert.h"
#include "flow/command_lines.h"
#include "flow/installed_version.h"
#include "flow/processes.h"
#include "net/download_driver.h"
#include "ui/main_dlg.h"

namespace velt {

bool installDesktopApp(const ManifestInfo& manifest)
{
    terminateProcessesByName(kInstallerProcessName);
    // Held until the installer has run: the verified file cannot be replaced before its start.
    // Its name and path come from the verification itself, and the URL from the run's one
    // reading of the manifest.
    const VerifiedInstaller installer = downloadAndVerifyInstaller(manifest);
    terminateProcessesByName(kInstallerProcessName);
    if (g_mainDlg) g_mainDlg->showInstalling();

    const auto commandLine = formatInstallerCommandLine(installer.fileName);
    if (!commandLine) {
        logInfo(L"runProcess() fails to create process. error code: %d\n", ERROR_INVALID_NAME);
        return false;
    }
    return runProcess(installer.fullPath, *commandLine, L".\\");
}

bool launchKestrel(const Json::Value& metadata)
{
    const std::wstring location = getInstallLocation();
    if (location.empty()) return false;

    wchar_t path[MAX_PATH] = {};
    if (location.size() >= MAX_PATH) {
        logInfo(L"runProcess() fails to create process. error code: %d\n", ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    location.copy(path, MAX_PATH - 1);
    // PathAppendW puts exactly one backslash between folder and name; it fails when the result
    // would not fit, and then there is no launcher path to start.
    if (!::PathAppendW(path, kLauncherFileName)) {
        logInfo(L"runProcess() fails to create process. error code: %d\n", ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    std::wstring arguments;
    const Json::Value& value = metadata.isObject() ? metadata["kestrelLauncherArguments"] : Json::Value::nullSingleton();
    if (value.isString()) arguments = acpToWide(value.asCString());

    const auto commandLine = formatLauncherCommandLine(path, arguments);
    if (!commandLine) {
        logInfo(L"runProcess() fails to create process. error code: %d\n", ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return runProcess(path, *commandLine, location);
}

}  // namespace velt
