/* mindialog: the smallest Win32 program that shows a dialog, the start-up benchmark's baseline
   (tests/bench_startup.py). Plain C, no C++ run-time; it ends when its window is closed. */
#include <windows.h>

static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    (void)lParam;
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_CLOSE) {
        EndDialog(window, 0);
        return TRUE;
    }
    return FALSE;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    (void)show;
    return (int)DialogBoxParamW(instance, MAKEINTRESOURCEW(1), NULL, dialogProc, 0);
}
