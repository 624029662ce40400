// The progress window: one modeless dialog with a progress bar and a status line. The main
// thread creates it and runs its messages; the worker drives it through the show* operations,
// which reach the controls only through window calls.
#pragma once

#include <windows.h>
#include <uxtheme.h>

#include <string>

namespace velt {

class CMainDlg {
public:
    CMainDlg() = default;
    CMainDlg(const CMainDlg&) = delete;
    CMainDlg& operator=(const CMainDlg&) = delete;

    // Creates the window from template 102 (modeless, not yet shown). Null on failure.
    HWND create(HINSTANCE instance, HWND parent);
    HWND hwnd() const { return m_hWnd; }
    HWND statusControl() const { return m_status; }
    HWND progressControl() const { return m_progress; }

    // Worker-side operations.
    void showInitializing();
    // A percentage that is not a finite number (a download without a length) switches the bar
    // to a marquee instead. Updates that would not change what the window shows are not sent.
    void showProgress(float percent);
    void showInstalling();
    void showError(const std::wstring& errorText);
    void closeDialog();

    // The installer download's progress callback: forwards percentages above 1 to the
    // process-wide dialog, at most one every 50 ms (100 % and non-finite values always).
    // Returns 0, which the caller ignores.
    static int onDownloadProgress(float* percent);

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR handleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void onInitDialog();
    void centerOnWorkArea();
    void paint();
    bool compositionEnabled() const;
    void extendFrame();

    // Every member is trivially destructible: the detached worker may still call in while the
    // process ends, so nothing here may be torn down by a destructor.
    HWND m_hWnd = nullptr;
    HWND m_status = nullptr;
    HWND m_progress = nullptr;
    HTHEME m_theme = nullptr;
    MARGINS m_margins = {0, 0, 0, 0};
    // What showProgress last put on screen (worker thread only); reset by the other show*
    // operations, which change the text themselves.
    wchar_t m_progressText[128] = {};
    int m_progressPos = -1;
    bool m_progressIndeterminate = false;

    void showIndeterminateProgress();
    void forgetProgress();
};

}  // namespace velt
