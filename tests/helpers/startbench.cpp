// startbench: how quickly a program shows its window, and how much memory it takes.
//   startbench OUT.json HOLD_MS EXE [ARGS...]
// Starts EXE and polls (every millisecond) for a visible top-level window of that process. Once
// it is visible, the program has HOLD_MS to end on its own; then its window is sent WM_CLOSE.
// Writes as JSON: "visibleMs", the time from just before CreateProcessW to the window being
// visible; "peakWorkingSet", the process's peak working set, sampled until it ends; "exitCode".
// A benchmark helper: it measures, it asserts nothing.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

struct Search {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK matchVisible(HWND w, LPARAM p)
{
    auto* search = reinterpret_cast<Search*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == search->pid && IsWindowVisible(w)) {
        search->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND visibleWindowOf(DWORD pid)
{
    Search search{pid, nullptr};
    EnumWindows(matchVisible, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

double millisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

SIZE_T peakWorkingSet(HANDLE process, SIZE_T sofar)
{
    PROCESS_MEMORY_COUNTERS mem{};
    mem.cb = sizeof(mem);
    if (GetProcessMemoryInfo(process, &mem, sizeof(mem)) && mem.PeakWorkingSetSize > sofar)
        return mem.PeakWorkingSetSize;
    return sofar;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) return 64;
    const double hold = _wtof(argv[2]);
    std::wstring commandLine = L"\"" + std::wstring(argv[3]) + L"\"";
    for (int i = 4; i < argc; ++i) commandLine += L" " + std::wstring(argv[i]);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(argv[3], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return 65;

    SIZE_T peak = 0;
    double visibleMs = -1;
    HWND window = nullptr;
    while (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT && window == nullptr) {
        peak = peakWorkingSet(info.hProcess, peak);
        window = visibleWindowOf(info.dwProcessId);
        if (window != nullptr) visibleMs = millisecondsSince(start);
        else Sleep(1);
    }
    LARGE_INTEGER shown;
    QueryPerformanceCounter(&shown);
    bool closed = false;
    while (WaitForSingleObject(info.hProcess, 1) == WAIT_TIMEOUT) {
        peak = peakWorkingSet(info.hProcess, peak);
        if (!closed && millisecondsSince(shown) >= hold) {
            if (window != nullptr) PostMessageW(window, WM_CLOSE, 0, 0);
            closed = true;
        }
        if (millisecondsSince(shown) > hold + 20000) TerminateProcess(info.hProcess, 99);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);

    FILE* out = _wfopen(argv[1], L"wb");
    if (out == nullptr) return 66;
    std::fprintf(out, "{\"visibleMs\": %.3f, \"peakWorkingSet\": %lu, \"exitCode\": %ld}\n", visibleMs,
                 static_cast<unsigned long>(peak), static_cast<long>(exitCode));
    std::fclose(out);
    return 0;
}
