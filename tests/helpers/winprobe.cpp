// winprobe: reads the bootstrap's progress window from outside, the way a user sees it.
//   winprobe OUT.json state [TITLE]   status text, progress position, range and style, as JSON,
//                                     and the layout in physical pixels: client size, the status
//                                     and bar rectangles, the status text's extent in its font
//   winprobe OUT.json close [TITLE]   sends WM_CLOSE to the window (what the close button does)
// TITLE picks another dialog-class window than the progress window "Veltrane" (a message box).
// A dialog whose controls are not all created yet is reported as not found: its texts and
// positions are not yet what the program set, so a reading of it is no reading.
// Results go to a UTF-8 file, not to a pipe.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "helper_text.h"

using velt::test::jsonString;

namespace {

struct Search {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK matchDialog(HWND w, LPARAM p)
{
    auto* search = reinterpret_cast<Search*>(p);
    wchar_t cls[64] = {}, title[64] = {};
    GetClassNameW(w, cls, 64);
    GetWindowTextW(w, title, 64);
    if (std::wstring(cls) == L"#32770" && search->title == title) {
        search->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND findDialog(const std::wstring& title)
{
    Search search{title};
    EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

LRESULT ask(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

std::string rectJson(HWND dlg, HWND control)
{
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
    return "[" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right) + ", " +
           std::to_string(r.bottom) + "]";
}

// Width and height of the text in the dialog's font (its template's "MS Shell Dlg", 8 points) at
// the display's scale. A font handle cannot be borrowed from another process, so the probe makes
// the same font itself.
std::string extentJson(const std::wstring& text)
{
    HDC dc = GetDC(nullptr);
    HFONT font = CreateFontW(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                             DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    return "[" + std::to_string(size.cx) + ", " + std::to_string(metrics.tmHeight) + "]";
}

std::wstring textOf(HWND w)
{
    wchar_t buf[512] = {};
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, &n)) return {};
    return std::wstring(buf, n);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 4) return 2;
    // Physical pixels, whatever the display scale: no scaling of the coordinates it reads.
    SetProcessDPIAware();
    FILE* out = _wfopen(argv[1], L"wb");
    if (!out) return 3;
    const std::wstring command = argv[2];
    const bool progressWindow = argc != 4;
    HWND dlg = findDialog(progressWindow ? L"Veltrane" : argv[3]);
    if (dlg && command == L"state") {
        // The dialog manager creates the window first and its controls one by one after it.
        const bool complete = progressWindow ? GetDlgItem(dlg, 1002) && GetDlgItem(dlg, 1001)
                                             : FindWindowExW(dlg, nullptr, nullptr, nullptr) != nullptr;
        if (!complete) dlg = nullptr;
    }
    std::string json = std::string("{\"found\": ") + (dlg ? "true" : "false");
    if (dlg && command == L"state") {
        HWND status = GetDlgItem(dlg, 1002);
        HWND bar = GetDlgItem(dlg, 1001);
        json += ", \"caption\": " + jsonString(textOf(dlg));
        json += ", \"visible\": " + std::string(IsWindowVisible(dlg) ? "true" : "false");
        json += ", \"hasStatus\": " + std::string(status ? "true" : "false");
        json += ", \"hasProgress\": " + std::string(bar ? "true" : "false");
        // The program moves the bar and then sets the text: a text and a position read while
        // either changed are not one reading. Taken again until both stay put across it.
        std::wstring statusText = status ? textOf(status) : std::wstring();
        LRESULT position = bar ? ask(bar, PBM_GETPOS, 0, 0) : 0;
        for (int attempt = 0; attempt < 50; ++attempt) {
            const std::wstring again = status ? textOf(status) : std::wstring();
            const LRESULT positionAgain = bar ? ask(bar, PBM_GETPOS, 0, 0) : 0;
            if (again == statusText && positionAgain == position) break;
            statusText = again;
            position = positionAgain;
        }
        if (status) json += ", \"status\": " + jsonString(statusText);
        RECT client{};
        GetClientRect(dlg, &client);
        json += ", \"client\": [" + std::to_string(client.right) + ", " + std::to_string(client.bottom) + "]";
        if (status) json += ", \"statusRect\": " + rectJson(dlg, status);
        if (status) json += ", \"statusExtent\": " + extentJson(statusText);
        if (bar) json += ", \"barRect\": " + rectJson(dlg, bar);
        if (bar) {
            const LONG style = GetWindowLongW(bar, GWL_STYLE);
            json += ", \"pos\": " + std::to_string(position);
            json += ", \"low\": " + std::to_string(ask(bar, PBM_GETRANGE, TRUE, 0));
            json += ", \"high\": " + std::to_string(ask(bar, PBM_GETRANGE, FALSE, 0));
            json += ", \"style\": " + std::to_string(style);
            json += ", \"marquee\": " + std::string((style & PBS_MARQUEE) ? "true" : "false");
            json += ", \"state\": " + std::to_string(ask(bar, PBM_GETSTATE, 0, 0));
        }
    } else if (dlg && command == L"close") {
        PostMessageW(dlg, WM_CLOSE, 0, 0);
    }
    json += "}\n";
    fputs(json.c_str(), out);
    fclose(out);
    return 0;
}
