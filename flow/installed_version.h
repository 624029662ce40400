// What an earlier installation recorded under
// HKLM\SOFTWARE\Veltrane\Veltrane Application Manager ("Version", "Location").
#pragma once

#include <string>

namespace velt {

// The "Version" value, each UTF-16 unit narrowed to its low byte; empty when not recorded.
std::string getInstalledVersion();

// The "Location" value as stored; empty when not recorded.
std::wstring getInstallLocation();

}  // namespace velt
