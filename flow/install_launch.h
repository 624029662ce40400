// The last steps of the flow: running the installer unattended and starting the launcher.
#pragma once

#include <json/value.h>

#include <string>

#include "flow/manifest_reader.h"

namespace velt {

constexpr wchar_t kInstallerProcessName[] = L"VeltraneDesktopApp.exe";
constexpr wchar_t kLauncherFileName[] = L"VeAppMgrLauncher.exe";

// Ends running installers, downloads and verifies the installer that `manifest` names (coded
// failures pass through as std::logic_error), shows "Installing ..." and runs it in the current
// folder, waiting for it. True when the installer process was created.
bool installDesktopApp(const ManifestInfo& manifest);

// Starts the launcher from the recorded install folder with the metadata's argument text and
// waits for it. False when nothing is recorded or it cannot be started.
bool launchKestrel(const Json::Value& metadata);

}  // namespace velt
