// Test helper that drives the download and trust units for tests/net/test_*.py, against real
// servers, a real squid and real signed files. Results go to UTF-8 JSON files, never to a pipe.
//
//   nettool download URL FILE LOG OUT [nocallback]   CDownloader: Open, then Fetch
//   nettool file URL FILE LOG OUT                    downloadFile (codes 7, 8)
//   nettool manifest FOLDER URL LOG OUT              fetchUpdateManifest + parseManifest, in FOLDER
//   nettool verify FILE LOG OUT                      CSignatureVerifier
//   nettool install FOLDER LOG OUT [HOLD]            downloadAndVerifyInstaller with the real
//                                                   progress window; with HOLD the window stays
//                                                   until the file HOLD exists
//   nettool bench URL FILE OUT [install[:SHA256:SIZE]]  downloadFile into the progress window,
//                                                   with wall/CPU time, peak memory, latency;
//                                                   with "install", downloadAndVerifyInstaller
//                                                   instead (into the current folder), held to
//                                                   the pin when one is given
//   nettool plainget URL FILE OUT                    a plain WinHTTP loop (no window, no proxy,
//                                                   1 MiB reads): the platform's ceiling
//   nettool race MODE FILE SOURCE STOP OUT           another process of the same user: until the
//                                                    file STOP exists, writes SOURCE's bytes over
//                                                    FILE (MODE write) or replaces FILE by a copy
//                                                    of SOURCE (MODE replace), as often as it can
//   nettool addroot CERT.der                         adds a certificate to the machine's Root
//   nettool ie FLAGS PROXY|-                         the user's Internet settings
//   nettool cred-write TARGET USERHEX PASSHEX        a generic credential (UTF-8 as hex, or
//                                                    "u16:" and UTF-16LE as hex)
//   nettool cred-delete TARGET
//
// The exit code is 0 when the command ran (its outcome is in OUT), 64 on bad arguments.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <wincred.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/bootstrap_log.h"
#include "flow/update_manifest.h"
#include "flow/update_trust.h"
#include "net/download_driver.h"
#include "net/downloader.h"
#include "net/manifest_signature.h"
#include "net/sha256.h"
#include "net/signature_verifier.h"
#include "ui/main_dlg.h"
#include "ui/ui_language.h"
#include "tests/helpers/helper_text.h"

using namespace velt;
using velt::test::utf8;

namespace {

std::string fromHex(const std::wstring& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(utf8(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// JSON text of the values this tool reports (the product's JsonCpp is built without its stream
// writers): one line, UTF-8 as it stands, doubles with 17 significant digits.
void appendJson(std::string& out, const Json::Value& value)
{
    char number[32];
    switch (value.type()) {
    case Json::nullValue: out += "null"; break;
    case Json::booleanValue: out += value.asBool() ? "true" : "false"; break;
    case Json::intValue: out += std::to_string(value.asLargestInt()); break;
    case Json::uintValue: out += std::to_string(value.asLargestUInt()); break;
    case Json::realValue:
        std::snprintf(number, sizeof number, "%.17g", value.asDouble());
        out += std::isfinite(value.asDouble()) ? number : "null";
        break;
    case Json::stringValue:
        out += '"';
        for (const char c : value.asString()) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                std::snprintf(number, sizeof number, "\\u%04x", c);
                out += number;
            } else {
                out += c;
            }
        }
        out += '"';
        break;
    case Json::arrayValue:
        out += '[';
        for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
            if (i) out += ',';
            appendJson(out, value[i]);
        }
        out += ']';
        break;
    case Json::objectValue: {
        out += '{';
        bool first = true;
        for (const std::string& name : value.getMemberNames()) {
            if (!first) out += ',';
            first = false;
            appendJson(out, Json::Value(name));
            out += ':';
            appendJson(out, value[name]);
        }
        out += '}';
        break;
    }
    }
}

// The whole file, "" when it cannot be read.
std::string readFileBytes(const wchar_t* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeJson(const std::wstring& path, const Json::Value& value)
{
    std::string text;
    appendJson(text, value);
    std::ofstream out(path.c_str(), std::ios::binary);
    out << text << "\n";
}

// Runs `body` and turns the flow's coded errors into their number (0 when none).
template <typename F>
int codeOf(F body)
{
    try {
        body();
        return 0;
    } catch (const std::logic_error& e) {
        return std::atoi(e.what());
    }
}

// What the download reports to its callback.
struct Progress {
    int calls = 0;
    int nonFinite = 0;
    int nan = 0;
    bool decreasing = false;
    double last = -1;
} g_progress;

int recordProgress(float* percent)
{
    ++g_progress.calls;
    if (!std::isfinite(*percent)) {
        ++g_progress.nonFinite;
        if (std::isnan(*percent)) ++g_progress.nan;
        return 0;
    }
    if (*percent < g_progress.last) g_progress.decreasing = true;
    g_progress.last = *percent;
    return 0;
}

int cmdDownload(wchar_t** argv, int argc)
{
    openBootstrapLog(argv[4]);
    const bool withCallback = !(argc > 6 && std::wstring(argv[6]) == L"nocallback");
    Json::Value out;
    {
        CDownloader downloader(argv[2], argv[3]);
        const bool opened = downloader.Open();
        out["open"] = opened;
        out["object"] = utf8(downloader.requestObjectName());
        out["secure"] = downloader.requestIsSecure();
        out["port"] = downloader.requestPort();
        out["proxy"] = downloader.sessionProxyName() ? Json::Value(utf8(*downloader.sessionProxyName())) : Json::Value();
        out["proxyUser"] =
            downloader.sessionProxyUser() ? Json::Value(utf8(*downloader.sessionProxyUser())) : Json::Value();
        out["fetch"] = opened ? downloader.Fetch(withCallback ? recordProgress : nullptr) : false;
    }
    out["calls"] = g_progress.calls;
    out["nonFinite"] = g_progress.nonFinite;
    out["nan"] = g_progress.nan;
    out["decreasing"] = g_progress.decreasing;
    out["last"] = g_progress.last;
    closeBootstrapLog();
    writeJson(argv[5], out);
    return 0;
}

int cmdFile(wchar_t** argv)
{
    openBootstrapLog(argv[4]);
    Json::Value out;
    out["code"] = codeOf([&] { downloadFile(argv[2], argv[3], nullptr); });
    closeBootstrapLog();
    writeJson(argv[5], out);
    return 0;
}

int cmdManifest(wchar_t** argv)
{
    SetCurrentDirectoryW(argv[2]);
    openBootstrapLog(argv[4]);
    Json::Value metadata;
    metadata["updateXmlUrl"] = utf8(argv[3]);
    Json::Value out;
    ManifestInfo manifest;
    out["code"] = codeOf([&] { manifest = parseManifest(fetchUpdateManifest(metadata, ManifestKeys())); });
    out["version"] = manifest.version;
    out["installerUrl"] = manifest.installerUrl;
    closeBootstrapLog();
    writeJson(argv[5], out);
    return 0;
}

int cmdVerify(wchar_t** argv)
{
    openBootstrapLog(argv[3]);
    const std::wstring path = argv[2];
    CSignatureVerifier verifier(path);
    Json::Value out;
    const LONG status = verifier.VerifyTrust();
    out["trust"] = static_cast<Json::UInt>(static_cast<DWORD>(status));
    out["subject"] = verifier.HasCertificateSubject(kSignerSubject);
    closeBootstrapLog();
    writeJson(argv[4], out);
    return 0;
}

// Records what reaches the progress bar, since the platform here does not draw (nor report)
// every state: positions, the error state and the marquee.
std::vector<int> g_positions;
std::vector<int> g_states;
int g_marqueeOn = 0;
WNDPROC g_barProc = nullptr;
LRESULT CALLBACK barSpy(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == PBM_SETPOS) g_positions.push_back(static_cast<int>(wp));
    if (msg == PBM_SETSTATE) g_states.push_back(static_cast<int>(wp));
    if (msg == PBM_SETMARQUEE && wp) ++g_marqueeOn;
    return CallWindowProcW(g_barProc, w, msg, wp, lp);
}

struct Window {
    CMainDlg dlg;
    bool create()
    {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        if (!dlg.create(GetModuleHandleW(nullptr), GetDesktopWindow())) return false;
        ShowWindow(dlg.hwnd(), SW_SHOW);
        g_barProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(dlg.progressControl(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(barSpy)));
        g_mainDlg = &dlg;
        return true;
    }
    // Pumps messages until `done` is set (by the worker) or WM_QUIT.
    void pumpUntil(const std::atomic<bool>& done)
    {
        while (!done) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) return;
                if (!IsDialogMessageW(dlg.hwnd(), &msg)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
        }
    }
    std::wstring status() const
    {
        wchar_t buf[256] = {};
        GetWindowTextW(dlg.statusControl(), buf, 256);
        return buf;
    }
};

// Like the program's worker: coded errors end up in the window.
void runAsWorker(const std::function<void()>& body, int& code)
{
    applyUiLanguage(1033);
    g_mainDlg->showInitializing();
    code = codeOf(body);
    if (code) g_mainDlg->showError(std::to_wstring(code));
}

int cmdInstall(wchar_t** argv, int argc)
{
    SetCurrentDirectoryW(argv[2]);
    openBootstrapLog(argv[3]);
    static Window window;  // the process-wide dialog, as in the program
    if (!window.create()) return 2;
    std::atomic<bool> done{false};
    int code = 0;
    // The manifest the folder holds, read once as the flow reads the one it downloaded.
    const ManifestInfo manifest = parseManifest(readFileBytes(L"update.xml"));
    std::thread worker([&] {
        runAsWorker([&] { downloadAndVerifyInstaller(manifest); }, code);
        done = true;
    });
    window.pumpUntil(done);
    worker.join();
    // Let the posted error state arrive.
    MSG msg;
    for (int i = 0; i < 5; ++i) {
        Sleep(20);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

    Json::Value out;
    out["code"] = code;
    out["status"] = utf8(window.status());
    out["pos"] = static_cast<int>(SendMessageW(window.dlg.progressControl(), PBM_GETPOS, 0, 0));
    out["marqueeStyle"] = (GetWindowLongW(window.dlg.progressControl(), GWL_STYLE) & PBS_MARQUEE) != 0;
    out["marqueeStarts"] = g_marqueeOn;
    for (int p : g_positions) out["positions"].append(p);
    for (int s : g_states) out["states"].append(s);
    if (!out.isMember("positions")) out["positions"] = Json::arrayValue;
    if (!out.isMember("states")) out["states"] = Json::arrayValue;
    closeBootstrapLog();
    writeJson(argv[4], out);

    if (argc > 5) {
        // Keep the window for a look from outside.
        const std::wstring hold = argv[5];
        const DWORD deadline = GetTickCount() + 120000;
        while (GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount() < deadline) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
    }
    DestroyWindow(window.dlg.hwnd());
    return 0;
}

double seconds(const FILETIME& ft)
{
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 1e7;
}

int cmdBench(wchar_t** argv, int argc)
{
    // The installer step as a signed manifest's pin drives it, or as an unsigned one does.
    const std::string mode = argc > 5 ? utf8(argv[5]) : std::string();
    ManifestInfo manifest;
    manifest.installerUrl = utf8(argv[2]);
    if (mode.rfind("install:", 0) == 0) {
        manifest.signatureVerified = true;
        const std::string pin = mode.substr(8);
        manifest.pinValid = pin.size() > 65 && parseSha256Hex(pin.substr(0, 64).c_str(), manifest.sha256) &&
                            parseInstallerSize(pin.substr(65).c_str(), manifest.size);
    }
    static Window window;  // the process-wide dialog, as in the program
    if (!window.create()) return 2;
    std::atomic<bool> done{false};
    int code = 0;
    double wall = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        runAsWorker([&] {
            if (mode.empty())
                downloadFile(argv[2], argv[3], &CMainDlg::onDownloadProgress);
            else
                downloadAndVerifyInstaller(manifest);
        }, code);
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        done = true;
    });
    // A third thread asks the window for an answer every 20 ms, as the system does to decide
    // whether a window hangs, and keeps the slowest answer.
    std::atomic<double> slowest{0};
    std::atomic<int> pings{0};
    std::thread pinger([&] {
        while (!done) {
            const auto t0 = std::chrono::steady_clock::now();
            DWORD_PTR result = 0;
            SendMessageTimeoutW(window.dlg.hwnd(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (ms > slowest) slowest = ms;
            ++pings;
            Sleep(20);
        }
    });
    window.pumpUntil(done);
    worker.join();
    pinger.join();

    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    PROCESS_MEMORY_COUNTERS mem{};
    mem.cb = sizeof(mem);
    GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem));
    Json::Value out;
    out["code"] = code;
    out["wall"] = wall;
    out["cpu"] = seconds(kernel) + seconds(user);
    out["peakWorkingSet"] = static_cast<Json::UInt64>(mem.PeakWorkingSetSize);
    out["peakPagefile"] = static_cast<Json::UInt64>(mem.PeakPagefileUsage);
    out["slowestAnswerMs"] = slowest.load();
    out["pings"] = pings.load();
    out["barMoves"] = static_cast<int>(g_positions.size());
    out["status"] = utf8(window.status());
    // What the installer check adds after the download: the file locked and hashed once more.
    const auto lockStart = std::chrono::steady_clock::now();
    FileHandle locked = openLockedForExecution(argv[3]);
    Sha256Digest digest{};
    out["rehashOk"] = locked && sha256OfHandle(locked.get(), digest);
    out["rehash"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - lockStart).count();
    writeJson(argv[4], out);
    DestroyWindow(window.dlg.hwnd());
    return 0;
}

// What any WinHTTP program can reach here: the same server and file as downloadFile, but no
// window, no proxy lookup, no progress and large reads straight into the file.
int cmdPlainGet(wchar_t** argv)
{
    const auto start = std::chrono::steady_clock::now();
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS url{};
    url.dwStructSize = sizeof(url);
    url.lpszHostName = host;
    url.dwHostNameLength = 256;
    url.lpszUrlPath = path;
    url.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(argv[2], 0, 0, &url)) return 64;
    HINTERNET session = WinHttpOpen(L"WEB_INSTALL_3_0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, url.nPort, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                        url.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                                   : nullptr;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    bool ok = request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr) &&
              WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) &&
              status == 200;
    HANDLE file = ok ? CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE;
    ok = ok && file != INVALID_HANDLE_VALUE;
    std::vector<char> buffer(1 << 20);
    double bytes = 0;
    while (ok) {
        DWORD got = 0;
        DWORD written = 0;
        ok = WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got);
        if (!ok || got == 0) break;
        ok = WriteFile(file, buffer.data(), got, &written, nullptr) && written == got;
        bytes += got;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    for (HINTERNET h : {request, connection, session}) {
        if (h) WinHttpCloseHandle(h);
    }
    PROCESS_MEMORY_COUNTERS mem{};
    mem.cb = sizeof(mem);
    GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem));
    Json::Value out;
    out["ok"] = ok;
    out["status"] = static_cast<Json::UInt>(status);
    out["bytes"] = bytes;
    out["wall"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out["peakWorkingSet"] = static_cast<Json::UInt64>(mem.PeakWorkingSetSize);
    writeJson(argv[4], out);
    return 0;
}

int cmdAddRoot(const wchar_t* certFile)
{
    const std::string der = readFileBytes(certFile);
    if (der.empty()) return 2;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) return 2;
    const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                     reinterpret_cast<const BYTE*>(der.data()),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                     nullptr);
    CertCloseStore(store, 0);
    return ok ? 0 : 2;
}

void appendDword(std::vector<BYTE>& blob, DWORD value)
{
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(value >> (8 * i)));
}

int cmdIe(const wchar_t* flags, const wchar_t* proxy)
{
    // DWORD 0x46, DWORD counter, DWORD flags (1 direct, 2 proxy), counted proxy list, bypass
    // list and PAC URL.
    const std::string list = std::wstring(proxy) == L"-" ? std::string() : utf8(proxy);
    std::vector<BYTE> blob;
    appendDword(blob, 0x46);
    appendDword(blob, 1);
    appendDword(blob, static_cast<DWORD>(std::wcstoul(flags, nullptr, 0)));
    appendDword(blob, static_cast<DWORD>(list.size()));
    blob.insert(blob.end(), list.begin(), list.end());
    appendDword(blob, 0);
    appendDword(blob, 0);
    blob.insert(blob.end(), 32, 0);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER,
                        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0, nullptr,
                        0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return 2;
    const LONG rc = RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY, blob.data(),
                                   static_cast<DWORD>(blob.size()));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : 2;
}

// UTF-8 as hex, or with "u16:" raw UTF-16LE code units as hex: what another program may have
// stored, lone surrogates included.
std::wstring credText(const std::wstring& arg)
{
    if (arg.compare(0, 4, L"u16:") != 0) return velt::test::wideFromUtf8(fromHex(arg));
    const std::string bytes = fromHex(arg.substr(4));
    std::wstring out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8));
    return out;
}

int cmdCredWrite(const wchar_t* target, const wchar_t* userHex, const wchar_t* passHex)
{
    std::wstring user = credText(userHex);
    std::wstring password = credText(passHex);
    CREDENTIALW credential = {};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t*>(target);
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = user.data();
    credential.CredentialBlobSize = static_cast<DWORD>(password.size() * sizeof(wchar_t));
    credential.CredentialBlob = reinterpret_cast<BYTE*>(password.data());
    return CredWriteW(&credential, 0) ? 0 : 2;
}

// Plays a process of the same user racing the download: every way in that the share modes leave
// open is taken at once, again and again. Counts what got through and what was refused.
int cmdRace(wchar_t** argv)
{
    const std::wstring mode = argv[2], file = argv[3], source = argv[4], stop = argv[5];
    const std::string bytes = readFileBytes(source.c_str());
    int wrote = 0, refused = 0;
    const std::wstring staged = file + L".staged";
    // Says it is running, so that the test starts what it races only then.
    Json::Value started;
    started["started"] = true;
    writeJson(argv[6], started);
    while (GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES) {
        bool done = false;
        if (mode == L"write") {
            HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                done = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                       SetEndOfFile(h);
                CloseHandle(h);
            }
        } else {
            HANDLE h = CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
                CloseHandle(h);
                done = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES &&
                       MoveFileExW(staged.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
            }
        }
        if (done) ++wrote;
        else if (GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_ACCESS_DENIED) ++refused;
        Sleep(1);
    }
    DeleteFileW(staged.c_str());
    Json::Value out;
    out["wrote"] = wrote;
    out["refused"] = refused;
    writeJson(argv[6], out);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"download" && argc >= 6) return cmdDownload(argv, argc);
    if (command == L"file" && argc == 6) return cmdFile(argv);
    if (command == L"manifest" && argc == 6) return cmdManifest(argv);
    if (command == L"verify" && argc == 5) return cmdVerify(argv);
    if (command == L"install" && argc >= 5) return cmdInstall(argv, argc);
    if (command == L"bench" && (argc == 5 || argc == 6)) return cmdBench(argv, argc);
    if (command == L"plainget" && argc == 5) return cmdPlainGet(argv);
    if (command == L"race" && argc == 7) return cmdRace(argv);
    if (command == L"addroot" && argc == 3) return cmdAddRoot(argv[2]);
    if (command == L"ie" && argc == 4) return cmdIe(argv[2], argv[3]);
    if (command == L"cred-write" && argc == 5) return cmdCredWrite(argv[2], argv[3], argv[4]);
    if (command == L"cred-delete" && argc == 3) return CredDeleteW(argv[2], CRED_TYPE_GENERIC, 0) ? 0 : 1;
    std::fprintf(stderr, "nettool: bad arguments\n");
    return 64;
}
