// The Windows half of the diagnostics: environment switches, system error texts and the
// API-failure line.
#pragma once

#include <windows.h>

#include <string>

namespace VELT {
namespace ProxyManager {

// Empty when unset, empty, or 1024 characters and longer.
std::wstring ReadEnvironmentValue(const std::wstring& name);
bool ReadBoolEnvironmentFlag(const std::wstring& name, bool defaultValue);

// The system's text for an error code, trailing line break included; empty when it has none.
std::wstring GetSystemErrorText(DWORD code);

// One ERROR line "<name>() API failed. Error:<code> Description:<text>" for GetLastError().
void ReportApiFailure(const std::wstring& functionName);

}  // namespace ProxyManager
}  // namespace VELT
