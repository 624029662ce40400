#include "ui/main_dlg.h"

#include <commctrl.h>
#include <dwmapi.h>
#include <vssym32.h>

#include <algorithm>
#include <cmath>
#include <iterator>

#include "app/app_state.h"
#include "app/bootstrap_log.h"
#include "app/dll_search.h"
#include "ui/resources/resource.h"
#include "ui/ui_language.h"

namespace velt {

namespace {

// The visual-style and composition libraries are not on the system's known-DLL list, so they
// are loaded late and from the system folder only: a DLL of that name planted beside the stub
// is never picked up.
struct ThemeApi {
    HMODULE uxtheme = nullptr;
    HMODULE dwmapi = nullptr;
    decltype(&::OpenThemeData) openThemeData = nullptr;
    decltype(&::CloseThemeData) closeThemeData = nullptr;
    decltype(&::EnableThemeDialogTexture) enableThemeDialogTexture = nullptr;
    decltype(&::DrawThemeBackground) drawThemeBackground = nullptr;
    decltype(&::BeginBufferedPaint) beginBufferedPaint = nullptr;
    decltype(&::EndBufferedPaint) endBufferedPaint = nullptr;
    decltype(&::DwmIsCompositionEnabled) dwmIsCompositionEnabled = nullptr;
    decltype(&::DwmExtendFrameIntoClientArea) dwmExtendFrameIntoClientArea = nullptr;

    bool themed() const { return openThemeData && closeThemeData && drawThemeBackground; }
    bool buffered() const { return beginBufferedPaint && endBufferedPaint; }
};

template <typename F>
void bind(HMODULE module, const char* name, F& fn)
{
    fn = module ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
}

// Only the window's own thread paints and handles messages, so the one-time set-up needs no
// lock (the Windows tree builds without locks around local statics).
const ThemeApi& themeApi()
{
    static const ThemeApi api = [] {
        ThemeApi a;
        a.uxtheme = loadSystemLibrary(L"uxtheme.dll");
        a.dwmapi = loadSystemLibrary(L"dwmapi.dll");
        bind(a.uxtheme, "OpenThemeData", a.openThemeData);
        bind(a.uxtheme, "CloseThemeData", a.closeThemeData);
        bind(a.uxtheme, "EnableThemeDialogTexture", a.enableThemeDialogTexture);
        bind(a.uxtheme, "DrawThemeBackground", a.drawThemeBackground);
        bind(a.uxtheme, "BeginBufferedPaint", a.beginBufferedPaint);
        bind(a.uxtheme, "EndBufferedPaint", a.endBufferedPaint);
        bind(a.dwmapi, "DwmIsCompositionEnabled", a.dwmIsCompositionEnabled);
        bind(a.dwmapi, "DwmExtendFrameIntoClientArea", a.dwmExtendFrameIntoClientArea);
        return a;
    }();
    return api;
}

}  // namespace

HWND CMainDlg::create(HINSTANCE instance, HWND parent)
{
    return ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAINDLG), parent, &CMainDlg::dialogProc,
                                reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CMainDlg::dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CMainDlg* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CMainDlg*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<CMainDlg*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    return self ? self->handleMessage(msg, wParam, lParam) : FALSE;
}

INT_PTR CMainDlg::handleMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    const ThemeApi& api = themeApi();
    switch (msg) {
    case WM_INITDIALOG:
        onInitDialog();
        return TRUE;
    case WM_ACTIVATE:
        if (!compositionEnabled() && m_theme) ::InvalidateRect(m_hWnd, nullptr, FALSE);
        return FALSE;
    case WM_DWMCOMPOSITIONCHANGED:
        if (compositionEnabled()) extendFrame();
        return FALSE;
    case WM_THEMECHANGED:
        if (api.themed()) {
            if (m_theme) api.closeThemeData(m_theme);
            m_theme = api.openThemeData(m_hWnd, L"dialog");
        }
        return FALSE;
    case WM_DESTROY:
        if (m_theme && api.closeThemeData) api.closeThemeData(m_theme);
        m_theme = nullptr;
        return FALSE;
    case WM_ERASEBKGND:
        // Painting covers the whole client area; erasing first would only flicker.
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 1);
        return TRUE;
    case WM_PAINT:
        paint();
        return TRUE;
    case WM_CLOSE:
        closeDialog();
        return TRUE;
    default:
        (void)wParam;
        (void)lParam;
        return FALSE;
    }
}

void CMainDlg::onInitDialog()
{
    const ThemeApi& api = themeApi();
    if (api.uxtheme) {
        if (api.openThemeData) m_theme = api.openThemeData(m_hWnd, L"dialog");
        if (api.enableThemeDialogTexture) api.enableThemeDialogTexture(m_hWnd, ETDT_ENABLE);
    }
    if (compositionEnabled()) extendFrame();

    m_status = ::GetDlgItem(m_hWnd, IDC_STATUS);
    m_progress = ::GetDlgItem(m_hWnd, IDC_PROGRESS);
    centerOnWorkArea();
}

bool CMainDlg::compositionEnabled() const
{
    const ThemeApi& api = themeApi();
    BOOL on = FALSE;
    return api.dwmIsCompositionEnabled && SUCCEEDED(api.dwmIsCompositionEnabled(&on)) && on;
}

void CMainDlg::extendFrame()
{
    const ThemeApi& api = themeApi();
    if (api.dwmExtendFrameIntoClientArea) api.dwmExtendFrameIntoClientArea(m_hWnd, &m_margins);
}

void CMainDlg::centerOnWorkArea()
{
    RECT rc;
    if (!::GetWindowRect(m_hWnd, &rc)) return;
    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    if (!::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &mi)) return;
    const RECT& work = mi.rcWork;
    const LONG w = rc.right - rc.left;
    const LONG h = rc.bottom - rc.top;
    LONG x = work.left + (work.right - work.left - w) / 2;
    LONG y = work.top + (work.bottom - work.top - h) / 2;
    // Keep the window inside the work area: right and bottom edges first, then left and top.
    if (x + w > work.right) x = work.right - w;
    if (y + h > work.bottom) y = work.bottom - h;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CMainDlg::paint()
{
    const ThemeApi& api = themeApi();
    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(m_hWnd, &ps);
    if (!hdc) return;
    RECT client;
    ::GetClientRect(m_hWnd, &client);

    HDC target = hdc;
    HPAINTBUFFER buffer = nullptr;
    if (api.uxtheme && api.buffered()) {
        BP_PAINTPARAMS params{};
        params.cbSize = sizeof(params);
        buffer = api.beginBufferedPaint(hdc, &ps.rcPaint, BPBF_TOPDOWNDIB, &params, &target);
        if (!buffer) target = hdc;
    }

    if (compositionEnabled()) {
        ::FillRect(target, &client, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    } else if (m_theme) {
        const int state = ::GetFocus() == m_hWnd ? FS_ACTIVE : FS_INACTIVE;
        api.drawThemeBackground(m_theme, target, WP_FRAMEBOTTOM, state, &client, nullptr);
    } else {
        ::FillRect(target, &client, ::GetSysColorBrush(COLOR_MENUBAR));
    }
    RECT view = {client.left + m_margins.cxLeftWidth, client.top + m_margins.cyTopHeight,
                 client.right - m_margins.cxRightWidth, client.bottom - m_margins.cyBottomHeight};
    ::FillRect(target, &view, ::GetSysColorBrush(COLOR_WINDOW));
    if (m_theme)
        api.drawThemeBackground(m_theme, target, WP_DIALOG, 1, &client, nullptr);
    else
        ::FillRect(target, &client, ::GetSysColorBrush(COLOR_3DFACE));

    if (buffer) api.endBufferedPaint(buffer, TRUE);
    ::EndPaint(m_hWnd, &ps);
}

void CMainDlg::showInitializing()
{
    forgetProgress();
    ::SetWindowTextW(m_status, loadStatusString(IDS_INITIALIZING).c_str());
}

void CMainDlg::forgetProgress()
{
    m_progressText[0] = L'\0';
    m_progressPos = -1;
    m_progressIndeterminate = false;
}

void CMainDlg::showProgress(float percent)
{
    // A number the bar cannot show is never handed to it.
    if (!std::isfinite(percent)) {
        showIndeterminateProgress();
        return;
    }
    if (m_progressIndeterminate) {
        // The length became known after all: back to an ordinary bar.
        ::SendMessageW(m_progress, PBM_SETMARQUEE, FALSE, 0);
        ::SetWindowLongW(m_progress, GWL_STYLE, ::GetWindowLongW(m_progress, GWL_STYLE) & ~PBS_MARQUEE);
        m_progressIndeterminate = false;
    }
    const std::wstring format = loadStatusString(IDS_DOWNLOADING);
    const std::wstring text = format.empty() ? std::wstring() : formatWide(format.c_str(), static_cast<double>(percent));
    // The download reports every few kilobytes; each call here is a round trip to the window's
    // thread, so only what changes the text or the bar is sent.
    if (text.size() >= std::size(m_progressText) || text != m_progressText) {
        ::SetWindowTextW(m_status, text.c_str());
        const std::size_t kept = std::min(text.size(), std::size(m_progressText) - 1);
        text.copy(m_progressText, kept);
        m_progressText[kept] = L'\0';
    }

    PBRANGE range{};
    ::SendMessageW(m_progress, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    const int low = range.iLow;
    const int high = range.iHigh;
    const int position = percent >= static_cast<float>(high) ? high : static_cast<int>(percent);
    if (position == m_progressPos) return;
    m_progressPos = position;

    // One step past and back: the bar jumps to the new position instead of animating toward
    // it. At the end of the range the range itself is widened for a moment, for the same effect.
    if (position < high) {
        ::SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(position + 1), 0);
        ::SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    } else {
        ::SendMessageW(m_progress, PBM_SETRANGE, 0, MAKELPARAM(low, high + 1));
        ::SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(high + 1), 0);
        ::SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(high), 0);
        ::SendMessageW(m_progress, PBM_SETRANGE, 0, MAKELPARAM(low, high));
    }
}

void CMainDlg::showIndeterminateProgress()
{
    // Without a length there is nothing to count against: the bar runs as a marquee, and the
    // text is string 104 without its number (the words before the first placeholder).
    if (m_progressIndeterminate) return;
    m_progressIndeterminate = true;
    m_progressPos = -1;
    std::wstring text = loadStatusString(IDS_DOWNLOADING);
    text.erase(std::min(text.find(L'%'), text.size()));
    while (!text.empty() && text.back() == L' ') text.pop_back();
    ::SetWindowTextW(m_status, text.c_str());
    m_progressText[0] = L'\0';

    const LONG style = ::GetWindowLongW(m_progress, GWL_STYLE);
    if (!(style & PBS_MARQUEE)) ::SetWindowLongW(m_progress, GWL_STYLE, style | PBS_MARQUEE);
    ::SendMessageW(m_progress, PBM_SETMARQUEE, TRUE, 0);
}

void CMainDlg::showInstalling()
{
    forgetProgress();
    const LONG style = ::GetWindowLongW(m_progress, GWL_STYLE);
    if (!(style & PBS_MARQUEE)) ::SetWindowLongW(m_progress, GWL_STYLE, style | PBS_MARQUEE);
    ::SendMessageW(m_progress, PBM_SETMARQUEE, TRUE, 0);
    ::SetWindowTextW(m_status, loadStatusString(IDS_INSTALLING).c_str());
}

void CMainDlg::showError(const std::wstring& errorText)
{
    forgetProgress();
    const std::wstring format = loadStatusString(IDS_ABORTED);
    const std::wstring text = format.empty() ? std::wstring() : formatWide(format.c_str(), errorText.c_str());
    ::SetWindowTextW(m_status, text.c_str());
    ::PostMessageW(m_progress, PBM_SETSTATE, PBST_ERROR, 0);
}

void CMainDlg::closeDialog()
{
    // Only succeeds on the main thread (the user closing the window): the platform refuses to
    // destroy another thread's windows, and then the handles stay as they are.
    if (m_status && ::DestroyWindow(m_status)) m_status = nullptr;
    if (m_progress && ::DestroyWindow(m_progress)) m_progress = nullptr;
    ::PostMessageW(m_hWnd, WM_QUIT, 0, 0);
}

int CMainDlg::onDownloadProgress(float* percent)
{
    if (!percent || !(*percent > 1.0f) || !g_mainDlg) return 0;
    // The download reports after every read, thousands of times for a large installer, and
    // each update is a round trip to the window's thread. Nobody reads more than a few changes
    // a second, so updates closer together than this are dropped, except the last (100 %),
    // which always gets through. Only the worker thread calls here.
    constexpr ULONGLONG kMinIntervalMs = 50;
    static ULONGLONG lastShown = 0;
    static bool shownOnce = false;
    const ULONGLONG now = ::GetTickCount64();
    if (shownOnce && *percent < 100.0f && now - lastShown < kMinIntervalMs) return 0;
    shownOnce = true;
    lastShown = now;
    g_mainDlg->showProgress(*percent);
    return 0;
}

}  // namespace velt
