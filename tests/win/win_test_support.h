// Helpers shared by the Windows tests.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace velt::test {

std::wstring utf8ToWide(const std::string& s);
std::string readFileBytes(const std::wstring& path);
// A path under the source tree (the tests run under Wine, which sees / as Z:\).
std::wstring sourcePath(const std::string& relative);
// The folder of the running test program (the build's bin folder).
std::wstring binFolder();
// A fresh empty folder under %TEMP%.
std::wstring makeTempFolder(const std::wstring& name);

// The 15 languages' status strings as the product must show them: LANGID -> id -> text.
std::map<int, std::map<int, std::wstring>> expectedStatusStrings();

// Runs the window messages already queued for this thread.
void pumpMessages();

}  // namespace velt::test
