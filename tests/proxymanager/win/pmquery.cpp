// Test driver: runs veltGetProxyInfo as the downloader does and writes what came back as JSON.
//
//   pmquery.exe REQUEST RESULT
//
// REQUEST holds UTF-8 lines "key=value": url, user, password, silent=1, calls=N, null_in=1,
// null_out=1, no_url=1, setenv=NAME=VALUE (set after start-up, before the call),
// level=N (one line "level probe" written at level N through the library's writer), and
// wpad=<PAC URL>|fail, the stand-in for automatic detection (see WpadSeamManager).
// The run ends with the debug-output marker "pmquery-done <pid>\n", written whatever the
// switch says, so a listener knows it has seen every line of this process.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "proxymanager/diagnostics.h"
#include "proxymanager/proxy_manager.h"
#include "proxymanager/proxy_manager_win.h"
#include "proxymanager/text_convert.h"

using namespace VELT::ProxyManager;

namespace {

std::string jsonString(const char* text)
{
    if (text == nullptr) return "null";
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

// WPAD needs a DNS domain (or DHCP) that a test machine does not have. This stand-in takes the
// place of the detection step only: it records the options discovery asked for and answers
// with the PAC file given in the request, evaluated by the real WinHttpGetProxyForUrl.
class WpadSeamManager : public ProxyManagerImplWin {
public:
    explicit WpadSeamManager(std::wstring pac) : pac_(std::move(pac)) {}
    std::string seen;

protected:
    BOOL ResolveProxyForUrl(HINTERNET session, const std::wstring& targetUrl, WINHTTP_AUTOPROXY_OPTIONS& options,
                            WINHTTP_PROXY_INFO& info) override
    {
        std::ostringstream note;
        note << "{\"flags\":" << options.dwFlags << ",\"types\":" << options.dwAutoDetectFlags
             << ",\"autologon\":" << options.fAutoLogonIfChallenged << ",\"url\":"
             << jsonString(ToUtf8(targetUrl).c_str()) << ",\"pac\":"
             << jsonString(options.lpszAutoConfigUrl ? ToUtf8(options.lpszAutoConfigUrl).c_str() : nullptr) << "}";
        seen += (seen.empty() ? "" : ",") + note.str();
        if (!(options.dwFlags & WINHTTP_AUTOPROXY_AUTO_DETECT)) {
            return ProxyManagerImplWin::ResolveProxyForUrl(session, targetUrl, options, info);
        }
        if (pac_ == L"fail") {
            ::SetLastError(ERROR_WINHTTP_AUTODETECTION_FAILED);
            return FALSE;
        }
        WINHTTP_AUTOPROXY_OPTIONS found = options;
        found.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        found.dwAutoDetectFlags = 0;
        found.lpszAutoConfigUrl = pac_.c_str();
        return ::WinHttpGetProxyForUrl(session, targetUrl.c_str(), &found, &info);
    }

private:
    std::wstring pac_;
};

std::map<std::string, std::string> readRequest(const wchar_t* path)
{
    std::map<std::string, std::string> request;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) request[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return request;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: pmquery REQUEST RESULT\n");
        return 64;
    }
    std::map<std::string, std::string> request = readRequest(argv[1]);
    std::ostringstream result;
    result << "{\"pid\":" << ::GetCurrentProcessId() << ",\"calls\":[";
    int exitCode = 0;

    if (request.count("setenv")) {
        const std::wstring assignment = ToWide(request["setenv"]);
        const std::size_t eq = assignment.find(L'=');
        const std::wstring name = assignment.substr(0, eq), value = assignment.substr(eq + 1);
        ::SetEnvironmentVariableW(name.c_str(), value.c_str());
        _wputenv_s(name.c_str(), value.c_str());
    }

    if (request.count("level")) DebugLog(std::atoi(request["level"].c_str()), L"level probe");

    UserData in = {};
    if (!request.count("no_url")) in.url = request["url"].c_str();
    if (request.count("user")) in.user = request["user"].c_str();
    if (request.count("password")) in.password = request["password"].c_str();
    in.silentMode = request["silent"] == "1";
    const int calls = request.count("calls") ? std::atoi(request["calls"].c_str()) : 1;
    std::string seam;

    try {
        for (int i = 0; i < calls; ++i) {
            ProxyResult out = {};
            PMStatus status;
            const UserData* inArg = request["null_in"] == "1" ? nullptr : &in;
            ProxyResult* outArg = request["null_out"] == "1" ? nullptr : &out;
            if (request.count("wpad")) {
                if (inArg == nullptr || outArg == nullptr) {
                    status = veltGetProxyInfo(inArg, outArg);
                } else {
                    WpadSeamManager manager(ToWide(request["wpad"]));
                    status = manager.GetProxyInfo(inArg, outArg);
                    seam += (seam.empty() ? "" : ",") + manager.seen;
                }
            } else {
                status = veltGetProxyInfo(inArg, outArg);
            }
            result << (i ? "," : "") << "{\"status\":" << status << ",\"server\":" << jsonString(out.server)
                   << ",\"serverPort\":" << jsonString(out.serverPort) << ",\"user\":" << jsonString(out.user)
                   << ",\"password\":" << jsonString(out.password) << ",\"authScheme\":" << out.authScheme << "}";
            veltReleaseProxyInfo(&out);
        }
        result << "],\"exception\":null";
    } catch (const std::exception& e) {
        result << "],\"exception\":" << jsonString(e.what());
        exitCode = 3;
    }
    result << ",\"seam\":[" << seam << "]}\n";

    std::ofstream(argv[2], std::ios::binary) << result.str();
    char marker[64];
    std::snprintf(marker, sizeof(marker), "pmquery-done %lu\n", static_cast<unsigned long>(::GetCurrentProcessId()));
    ::OutputDebugStringA(marker);
    return exitCode;
}
