// planted_dll: what an attacker would drop beside the stub under the name of a system DLL.
// Loading it is proof enough: on attach it appends to "planted-loaded.txt" in its own folder
// the name it was loaded under and the process that loaded it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH] = {};
    wchar_t selfPath[MAX_PATH] = {};
    GetModuleFileNameW(self, path, MAX_PATH);
    const DWORD selfLength = GetModuleFileNameW(self, selfPath, MAX_PATH);
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return TRUE;
    lstrcpyW(slash + 1, L"planted-loaded.txt");
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        wchar_t exe[MAX_PATH] = {};
        const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
        DWORD written = 0;
        WriteFile(h, selfPath, selfLength * sizeof(wchar_t), &written, nullptr);
        WriteFile(h, L" <- ", 4 * sizeof(wchar_t), &written, nullptr);
        WriteFile(h, exe, n * sizeof(wchar_t), &written, nullptr);
        WriteFile(h, L"\n", sizeof(wchar_t), &written, nullptr);
        CloseHandle(h);
    }
    return TRUE;
}
