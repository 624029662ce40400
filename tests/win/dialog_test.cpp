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
WNDPROC g_progressProc = nullptr;
LRESULT CALLBACK recordState(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == PBM_SETSTATE) g_statesSeen.push_back(wp);
    return CallWindowProcW(g_progressProc, w, msg, wp, lp);
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
        g_progressProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(dlg_.progressControl(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordState)));
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
    float p = 1.01f;
    CMainDlg::onDownloadProgress(&p);
    EXPECT_EQ(status(), L"Downloading ... 1.01%");
    EXPECT_EQ(CMainDlg::onDownloadProgress(nullptr), 0);
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
