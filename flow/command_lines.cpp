#include "flow/command_lines.h"

namespace velt {

namespace {

std::optional<std::wstring> fitting(std::wstring line)
{
    if (line.size() >= kCommandLineCapacity) return std::nullopt;
    return line;
}

// A quote inside the quoted program name would end it early and turn the rest into arguments;
// no file name or folder can hold one, so such a text is refused outright.
bool quotable(const std::wstring& text) { return text.find(L'"') == std::wstring::npos; }

}  // namespace

std::optional<std::wstring> formatInstallerCommandLine(const std::wstring& installerFileName)
{
    if (!quotable(installerFileName)) return std::nullopt;
    return fitting(L"\"" + installerFileName + L"\" --mode unattended --launchClient \"0\"");
}

std::optional<std::wstring> formatLauncherCommandLine(const std::wstring& launcherPath, const std::wstring& arguments)
{
    if (!quotable(launcherPath)) return std::nullopt;
    return fitting(L"\"" + launcherPath + L"\" " + arguments);
}

}  // namespace velt
