#include "flow/processes.h"

#include <psapi.h>

#include <vector>

#include "app/bootstrap_log.h"
#include "app/win_handles.h"
#include "flow/command_lines.h"

namespace velt {

namespace {
constexpr DWORD kTerminateWaitMs = 5000;
}  // namespace

bool runProcess(const std::wstring& applicationPath, const std::wstring& commandLine,
                const std::wstring& currentDirectory)
{
    logInfo(L"launchKestrel: commandLine = %s. szPath = %s\n", commandLine.c_str(), currentDirectory.c_str());
    if (commandLine.size() >= kCommandLineCapacity) {
        logInfo(L"runProcess() fails to create process. error code: %d\n", ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // CreateProcessW may write into the command line: it gets a buffer of its own.
    std::vector<wchar_t> line(kCommandLineCapacity, L'\0');
    commandLine.copy(line.data(), commandLine.size());

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(applicationPath.c_str(), line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                          nullptr, currentDirectory.c_str(), &startup, &info)) {
        logInfo(L"runProcess() fails to create process. error code: %d\n", static_cast<int>(::GetLastError()));
        return false;
    }
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    return true;
}

DWORD findProcessByName(const std::wstring& name)
{
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    if (!::K32EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) return 0;
    wchar_t baseName[MAX_PATH];
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        KernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]));
        if (!process) continue;
        if (::K32GetModuleBaseNameW(process.get(), nullptr, baseName, MAX_PATH) &&
            ::lstrcmpiW(baseName, name.c_str()) == 0)
            return ids[i];
    }
    return 0;
}

void terminateProcessesByName(const std::wstring& name)
{
    DWORD id = findProcessByName(name);
    for (int round = 0; id != 0 && round < 10; ++round) {
        KernelHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
        if (process) {
            ::TerminateProcess(process.get(), 0);
            // Termination is asynchronous: give the process a moment to be gone, so that its
            // executable file can be replaced by the download that follows.
            ::WaitForSingleObject(process.get(), kTerminateWaitMs);
        }
        id = findProcessByName(name);
    }
}

}  // namespace velt
