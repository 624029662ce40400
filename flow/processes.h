// Starting programs and finding or ending running ones by executable name.
#pragma once

#include <windows.h>

#include <string>

namespace velt {

// Logs the command line and folder, starts the program at `applicationPath` (a full path: it is
// neither searched for nor given an extension, whatever the command line's first token says)
// and waits for it to end. True when the process was created. A failure to start is logged with
// the system's error code.
bool runProcess(const std::wstring& applicationPath, const std::wstring& commandLine,
                const std::wstring& currentDirectory);

// The id of the first running process whose executable base name equals `name` regardless of
// case, or 0.
DWORD findProcessByName(const std::wstring& name);

// Terminates processes of that name until none is left, at most ten rounds.
void terminateProcessesByName(const std::wstring& name);

}  // namespace velt
