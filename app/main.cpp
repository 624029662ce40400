// The process: start-up, the run sequence, the main thread's message loop and the worker
// thread's procedure.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/app_state.h"
#include "app/bootstrap_log.h"
#include "app/dll_search.h"
#include "app/text_convert.h"
#include "flow/embedded_metadata.h"
#include "flow/worker_flow.h"
#include "ui/main_dlg.h"
#include "ui/resources/resource.h"

namespace velt {

namespace {

// The one dialog object. Trivially destructible members only, so the detached worker can never
// meet a destroyed object while the process ends.
CMainDlg g_dialog;

void ThreadProc(void* param)
{
    const auto* metadataText = static_cast<const std::wstring*>(param);
    try {
        runBootstrapFlow(*metadataText);
    } catch (const std::logic_error& e) {
        logError(L"ThreadProc exception caught, type std::exception, display error message.\n");
        if (g_mainDlg) g_mainDlg->showError(acpToWide(e.what()));
    } catch (...) {
        logError(L"ThreadProc exception caught, program exit.\n");
        // Not left on "Initializing ..." or a frozen percentage: the window says the run failed.
        if (g_mainDlg) {
            const std::string code = std::to_string(kErrorUnexpected);
            g_mainDlg->showError(std::wstring(code.begin(), code.end()));
        }
    }
}

// The worker thread's start routine. It holds its own reference to the metadata text, so the
// text stays valid for as long as the worker runs, however early the main thread finishes.
DWORD WINAPI workerThreadStart(LPVOID param)
{
    std::unique_ptr<std::shared_ptr<std::wstring>> text(static_cast<std::shared_ptr<std::wstring>*>(param));
    preloadWorkerDlls();
    ThreadProc(text->get());
    return 0;
}

// Starts the worker detached: a plain Windows thread whose handle is closed at once, never
// joined. False when the thread cannot be created.
bool startWorker(const std::shared_ptr<std::wstring>& metadataText)
{
    auto* reference = new std::shared_ptr<std::wstring>(metadataText);
    HANDLE thread = ::CreateThread(nullptr, 0, workerThreadStart, reference, 0, nullptr);
    if (thread == nullptr) {
        delete reference;
        return false;
    }
    ::CloseHandle(thread);
    return true;
}

int runMessageLoop()
{
    MSG msg;
    for (;;) {
        // No idle handlers are registered: nothing to do before waiting.
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) continue;
        if (got == 0) return static_cast<int>(msg.wParam);
        // No IsDialogMessageW: Tab, Enter and Escape mean nothing in the progress window.
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

int runApplication(HINSTANCE instance, LPWSTR /*commandLine*/, int showCommand)
{
    logInfo(L"Begin to call RetrieveMetadata.\n");
    // Shared with the worker, which is never joined and may outlive this function.
    auto metadataText = std::make_shared<std::wstring>();
    RetrieveMetadata(*metadataText);
    if (metadataText->empty()) {
        logError(L"Error occurred, error code = [%d].\n", 2);
        return -1;
    }

    if (!g_dialog.create(instance, ::GetDesktopWindow())) {
        logError(L"Error in creating main window!\n");
        return 0;
    }
    g_mainDlg = &g_dialog;

    HICON icon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_BOOTSTRAP));
    ::SendMessageW(g_dialog.hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::ShowWindow(g_dialog.hwnd(), showCommand);

    if (!startWorker(metadataText)) {
        // Without a worker the window would wait for ever: end as when it cannot be created.
        logError(L"Error in creating worker thread!\n");
        ::DestroyWindow(g_dialog.hwnd());
        return 0;
    }

    const int result = runMessageLoop();
    ::DestroyWindow(g_dialog.hwnd());
    return result;
}

void parseOptions(LPCWSTR commandLine)
{
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(commandLine, &argc);
    if (!argv) return;  // cannot be split: no option is set
    for (int i = 0; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"-debug")
            g_debugFlag = 1;
        else if (std::wstring(argv[i]) == L"-showmetadata")
            g_showMetadataFlag = 1;
    }
    ::LocalFree(argv);
}

}  // namespace

}  // namespace velt

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int showCommand)
{
    using namespace velt;

    // The stub runs elevated from wherever it was downloaded to: DLLs loaded from here on come
    // from the system folder only, never from the stub's own folder or the current one. What
    // the window does not need is loaded by the worker, after the window shows.
    limitDllSearch();
    preloadWindowDlls();

    // Relative paths ("update.xml", the installer) resolve next to the executable, wherever the
    // program was started from.
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    wchar_t drive[3] = {};
    wchar_t dir[256] = {};
    ::_wsplitpath_s(modulePath, drive, 3, dir, 256, nullptr, 0, nullptr, 0);
    std::wstring folder = std::wstring(drive) + dir;
    ::SetCurrentDirectoryW(folder.c_str());

    wchar_t logPath[MAX_PATH] = {};
    ::ExpandEnvironmentStringsW(L"%temp%\\VeltappBootstrap.log", logPath, MAX_PATH);
    openBootstrapLog(logPath);

    parseOptions(commandLine);

    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);

    const int result = runApplication(instance, commandLine, showCommand);

    closeBootstrapLog();
    // The worker is detached and may still be running (the user closed the window during a
    // download). Ending the process here stops it before any run-time teardown, so it never
    // meets a half-destroyed library.
    ::ExitProcess(static_cast<UINT>(result));
}
