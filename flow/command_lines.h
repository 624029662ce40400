// The command lines the bootstrap starts programs with, formatted into the fixed-size buffers
// the process start uses. A line that does not fit is refused (nullopt), never cut short: a
// truncated line could name another program or drop its arguments.
#pragma once

#include <optional>
#include <string>

namespace velt {

constexpr size_t kCommandLineCapacity = 1040;  // wide characters, terminator included

// "\"NAME\" --mode unattended --launchClient \"0\""
std::optional<std::wstring> formatInstallerCommandLine(const std::wstring& installerFileName);

// "\"PATH\" ARGS" (with one blank before empty arguments, as the launcher has always got it)
std::optional<std::wstring> formatLauncherCommandLine(const std::wstring& launcherPath, const std::wstring& arguments);

}  // namespace velt
