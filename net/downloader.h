// One HTTP(S) download into one file through WinHTTP. Before the session opens, the proxy
// manager says how the URL is reached (directly, or through a named proxy with the credentials
// it accepts); a 407 from that proxy is answered with those credentials. While the body
// arrives, the percentage received goes to an optional callback.
//
// One object serves one download: construct, Open, and only when it answered true, Fetch once.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <optional>
#include <string>

#include "net/net_handles.h"

namespace VELT {
namespace ProxyManager {
struct ProxyResult;
}
}  // namespace VELT

namespace velt {

// Given a pointer to the percentage received so far (0 to 100; +infinity or NaN when the
// server announced no length). The result is ignored.
typedef int (*DownloadProgressCallback)(float* percent);

class CDownloader {
public:
    CDownloader(const std::wstring& url, const std::wstring& filePath);
    ~CDownloader();
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;

    // Asks the proxy manager, then opens the session, the connection and the GET request.
    // False: the download cannot start.
    bool Open();

    // Sends the request (at most four attempts), answers proxy challenges, and on 200 streams
    // the body into the file. True only when the whole body is in the file.
    bool Fetch(DownloadProgressCallback callback);

    // What Open worked out, for the tests of the Windows shell.
    const std::wstring& requestObjectName() const { return objectName_; }
    bool requestIsSecure() const { return secure_; }
    INTERNET_PORT requestPort() const { return port_; }
    const std::optional<std::wstring>& sessionProxyName() const { return proxyName; }
    const std::optional<std::wstring>& sessionProxyUser() const { return proxyUser; }

private:
    bool OpenSession(VELT::ProxyManager::ProxyResult& result);
    void ApplyProxyResult(const VELT::ProxyManager::ProxyResult& result);
    static DWORD PickProxyAuthScheme(DWORD supported);
    bool QueryNumberHeader(DWORD infoLevel, DWORD& value);
    bool ReceiveToFile(DWORD contentLength, bool lengthKnown);

    // Declared so that they close in the order request, connection, session.
    InternetHandle hSession;
    InternetHandle hConnect;
    InternetHandle hRequest;
    std::wstring url;
    std::wstring filePath;
    std::optional<std::wstring> proxyServer;
    std::optional<std::wstring> proxyPort;
    std::optional<std::wstring> proxyUser;
    std::optional<std::wstring> proxyPassword;
    std::optional<std::wstring> proxyName;
    std::wstring hostName;
    DownloadProgressCallback progressCallback = nullptr;

    std::wstring objectName_;
    INTERNET_PORT port_ = 0;
    bool secure_ = false;
};

}  // namespace velt
