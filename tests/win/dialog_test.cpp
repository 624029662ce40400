// The progress dialog's operations on a real window.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "ui/main_dlg.h"
#include "ui/ui_language.h"
#include "win_test_support.h"

using namespace velt;
using namespace velt::test;

namespace {

// Records the state changes that reach the progress bar: the platform here may not draw the
// error state (nor report it back), but the message must arrive.
std::vector<WPARAM> g_statesSeen;
int g_setPosSeen = 0;
int g_setTextSeen = 0;
WNDPROC g_progressProc = nullptr;
WNDPROC g_statusProc = nullptr;
LRESULT CALLBACK recordState(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == PBM_SETSTATE) g_statesSeen.push_back(wp);
    if (msg == PBM_SETPOS) ++g_setPosSeen;
    return CallWindowProcW(g_progressProc, w, msg, wp, lp);
}
LRESULT CALLBACK recordText(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_SETTEXT) ++g_setTextSeen;
    return CallWindowProcW(g_statusProc, w, msg, wp, lp);
}

class Dialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        applyUiLanguage(1033);
        ASSERT_NE(dlg_.create(GetModuleHandleW(nullptr), GetDesktopWindow()), nullptr);
        ASSERT_NE(dlg_.statusControl(), nullptr);
        ASSERT_NE(dlg_.progressControl(), nullptr);
        g_statesSeen.clear();
        g_setPosSeen = 0;
        g_setTextSeen = 0;
        g_progressProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(dlg_.progressControl(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordState)));
        g_statusProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(dlg_.statusControl(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordText)));
    }
    void TearDown() override
    {
        g_mainDlg = nullptr;
        if (IsWindow(dlg_.hwnd())) DestroyWindow(dlg_.hwnd());
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    std::wstring status()
    {
        wchar_t buf[256] = {};
        GetWindowTextW(dlg_.statusControl(), buf, 256);
        return buf;
    }
    int pos() { return static_cast<int>(SendMessageW(dlg_.progressControl(), PBM_GETPOS, 0, 0)); }
    std::pair<int, int> range()
    {
        PBRANGE r{};
        SendMessageW(dlg_.progressControl(), PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&r));
        return {r.iLow, r.iHigh};
    }
    bool quitQueued(WPARAM* code)
    {
        MSG msg;
        if (!PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
        *code = msg.wParam;
        return true;
    }
    CMainDlg dlg_;
};

}  // namespace

TEST_F(Dialog, ProgressTextAndBarPosition)
{
    dlg_.showProgress(1.01f);
    EXPECT_EQ(status(), L"Downloading ... 1.01%");
    EXPECT_EQ(pos(), 1);
    dlg_.showProgress(45.678f);
    EXPECT_EQ(status(), L"Downloading ... 45.68%");
    EXPECT_EQ(pos(), 45);
    dlg_.showProgress(100.0f);
    EXPECT_EQ(status(), L"Downloading ... 100.00%");
    EXPECT_EQ(pos(), 100);
    EXPECT_EQ(range(), std::make_pair(0, 100));
    // Going back moves the bar back at once.
    dlg_.showProgress(30.5f);
    EXPECT_EQ(pos(), 30);
    EXPECT_EQ(range(), std::make_pair(0, 100));
}

TEST_F(Dialog, ProgressCallbackIgnoresOnePercentAndBelow)
{
    g_mainDlg = &dlg_;
    dlg_.showInitializing();
    EXPECT_EQ(status(), L"Initializing ...");
    for (float p : {0.0f, 0.5f, 1.0f, std::nanf("")}) {
        EXPECT_EQ(CMainDlg::onDownloadProgress(&p), 0);
        EXPECT_EQ(status(), L"Initializing ...");
        EXPECT_EQ(pos(), 0);
    }
    Sleep(60);  // past the callback's update interval, whatever ran before
    float p = 1.01f;
    CMainDlg::onDownloadProgress(&p);
    EXPECT_EQ(status(), L"Downloading ... 1.01%");
    EXPECT_EQ(CMainDlg::onDownloadProgress(nullptr), 0);
}

TEST_F(Dialog, ProgressWithoutALengthRunsAMarqueeInsteadOfANumber)
{
    g_mainDlg = &dlg_;
    dlg_.showInitializing();
    float nothingYet = std::nanf("");
    CMainDlg::onDownloadProgress(&nothingYet);
    EXPECT_EQ(status(), L"Initializing ...");

    float unknown = INFINITY;
    CMainDlg::onDownloadProgress(&unknown);
    EXPECT_EQ(status(), L"Downloading ...");
    EXPECT_TRUE(GetWindowLongW(dlg_.progressControl(), GWL_STYLE) & PBS_MARQUEE);
    EXPECT_EQ(g_setPosSeen, 0) << "no number reaches the bar";
    EXPECT_EQ(pos(), 0);
    const int texts = g_setTextSeen;
    CMainDlg::onDownloadProgress(&unknown);
    EXPECT_EQ(g_setTextSeen, texts) << "the same display is not sent again";

    applyUiLanguage(1036);
    dlg_.showError(L"8");
    float again = INFINITY;
    dlg_.showProgress(again);
    EXPECT_EQ(status(), L"T\u00e9l\u00e9chargement en cours...");

    // A length after all: an ordinary bar again.
    applyUiLanguage(1033);
    dlg_.showProgress(50.0f);
    EXPECT_EQ(status(), L"Downloading ... 50.00%");
    EXPECT_FALSE(GetWindowLongW(dlg_.progressControl(), GWL_STYLE) & PBS_MARQUEE);
    EXPECT_EQ(pos(), 50);
}

TEST_F(Dialog, ProgressThatChangesNothingOnScreenIsNotSent)
{
    dlg_.showProgress(10.001f);
    const int texts = g_setTextSeen;
    const int moves = g_setPosSeen;
    EXPECT_EQ(texts, 1);
    EXPECT_EQ(moves, 2);
    dlg_.showProgress(10.002f);  // same text, same position
    EXPECT_EQ(g_setTextSeen, texts);
    EXPECT_EQ(g_setPosSeen, moves);
    dlg_.showProgress(10.5f);  // new text, same position
    EXPECT_EQ(status(), L"Downloading ... 10.50%");
    EXPECT_EQ(g_setTextSeen, texts + 1);
    EXPECT_EQ(g_setPosSeen, moves);
    dlg_.showProgress(11.0f);
    EXPECT_EQ(pos(), 11);
    // Another operation changed the text: the same percentage is shown again in full.
    dlg_.showInitializing();
    dlg_.showProgress(11.0f);
    EXPECT_EQ(status(), L"Downloading ... 11.00%");
    EXPECT_EQ(pos(), 11);
}

TEST_F(Dialog, RapidCallbacksAreThinnedButTheEndAlwaysShows)
{
    g_mainDlg = &dlg_;
    Sleep(60);
    float p = 2.0f;
    CMainDlg::onDownloadProgress(&p);
    EXPECT_EQ(status(), L"Downloading ... 2.00%");
    const int texts = g_setTextSeen;
    for (int i = 0; i < 200; ++i) {
        p = 2.5f + i * 0.25f;  // far more often than anyone can read
        CMainDlg::onDownloadProgress(&p);
    }
    EXPECT_LT(g_setTextSeen - texts, 20);
    p = 100.0f;
    CMainDlg::onDownloadProgress(&p);
    EXPECT_EQ(status(), L"Downloading ... 100.00%");
    EXPECT_EQ(pos(), 100);
}

TEST_F(Dialog, TextsInTheThreadsLanguageWithAFullStopAsSeparator)
{
    applyUiLanguage(1036);
    dlg_.showProgress(45.678f);
    EXPECT_EQ(status(), L"T\u00e9l\u00e9chargement en cours... 45.68%");
    applyUiLanguage(1031);
    dlg_.showError(L"3");
    EXPECT_EQ(status(), L"Abgebrochen.(Fehler:3)");
    applyUiLanguage(3082);
    dlg_.showInitializing();
    EXPECT_EQ(status(), L"Inicializando...");
}

TEST_F(Dialog, InstallingTurnsTheBarIntoAMarqueeAndErrorKeepsIt)
{
    dlg_.showProgress(40.0f);
    dlg_.showInstalling();
    EXPECT_EQ(status(), L"Installing ...");
    EXPECT_TRUE(GetWindowLongW(dlg_.progressControl(), GWL_STYLE) & PBS_MARQUEE);
    dlg_.showInstalling();  // a second call changes nothing
    EXPECT_TRUE(GetWindowLongW(dlg_.progressControl(), GWL_STYLE) & PBS_MARQUEE);

    dlg_.showError(L"8");
    EXPECT_EQ(status(), L"Aborted.(Error:8)");
    EXPECT_TRUE(g_statesSeen.empty()) << "the error state is posted, not sent";
    pumpMessages();
    EXPECT_EQ(g_statesSeen, std::vector<WPARAM>{PBST_ERROR});
    EXPECT_TRUE(GetWindowLongW(dlg_.progressControl(), GWL_STYLE) & PBS_MARQUEE);
}

TEST_F(Dialog, WorkerThreadCallsAreServedByTheWindowsThread)
{
    bool done = false;
    std::thread worker([&] {
        dlg_.showInitializing();
        dlg_.showProgress(62.5f);
        dlg_.showError(L"7");
        dlg_.closeDialog();
        done = true;
    });
    // The window's own thread keeps pumping, as the program's message loop does.
    while (!done) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) && msg.message != WM_QUIT) {
            PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
            DispatchMessageW(&msg);
        }
    }
    worker.join();
    EXPECT_EQ(status(), L"Aborted.(Error:7)");
    EXPECT_EQ(pos(), 62);
    // The worker cannot destroy the controls; the quit message reaches the window's thread.
    EXPECT_TRUE(IsWindow(dlg_.statusControl()));
    EXPECT_TRUE(IsWindow(dlg_.progressControl()));
    WPARAM code = 99;
    EXPECT_TRUE(quitQueued(&code));
    EXPECT_EQ(code, 0u);
}

TEST_F(Dialog, CloseFromTheWindowDestroysControlsAndQuits)
{
    HWND status = dlg_.statusControl();
    SendMessageW(dlg_.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(status));
    EXPECT_EQ(dlg_.statusControl(), nullptr);
    EXPECT_EQ(dlg_.progressControl(), nullptr);
    EXPECT_TRUE(IsWindow(dlg_.hwnd())) << "the window itself goes when the loop has ended";
    WPARAM code = 99;
    EXPECT_TRUE(quitQueued(&code));
    EXPECT_EQ(code, 0u);
}
