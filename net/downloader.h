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

#include "app/win_handles.h"
#include "net/download_logic.h"
#include "net/net_handles.h"
#include "net/sha256.h"

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
    // the body into the file. A body that ends early is taken up again by at most five further
    // requests: from where the file ends when the server serves byte ranges of a version it
    // names, else from zero. True only when the whole body is in the file.
    //
    // The file is created only when the first body arrives, and every byte of every request goes
    // through that one handle, which shares neither writing nor deletion; it is closed when Fetch
    // returns. Meanwhile a SHA-256 of exactly the bytes written runs along.
    bool Fetch(DownloadProgressCallback callback);

    // Keeps a copy of the body in `body` as well (cleared when the download starts again from
    // zero), so that what the server sent can be used without reading the file back.
    void KeepBody(std::string* body) { bodyCopy_ = body; }

    // Stops the download as soon as the file would hold more than `limit` bytes (0: no limit),
    // counting what an earlier part left in it. Each read asks for at most one byte beyond the
    // limit, and that byte is never written.
    void LimitBytes(std::uint64_t limit) { limit_ = limit; }
    // Whether the download was stopped for going beyond that limit (Fetch then returned false).
    bool exceededLimit() const { return exceededLimit_; }

    // Whether this download created (or truncated) the file: a download that never got that far
    // has changed nothing on disk.
    bool wroteFile() const { return wroteFile_; }

    // The hash of the bytes the file holds as this download wrote them; false when the hash could
    // not be made. Once only, after a successful Fetch.
    bool finishHash(Sha256Digest& out) { return hash_.finish(out); }

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
    std::wstring QueryTextHeader(DWORD infoLevel);

    // How one request ended: Answered, a status to look at; Failed, the download cannot go on
    // (TLS failure, a challenge that cannot be answered, no usable answer in four attempts);
    // ConnectionLost, no answer at all (the send or the receive failed).
    enum class SendOutcome { Answered, Failed, ConnectionLost };
    // Sends the current request until its answer is not a proxy challenge (at most four
    // attempts), with `headers` added. `anyStatusIsFinal` false: every status but 200 is sent
    // again, as the first request of a download always has been.
    SendOutcome SendRequest(const std::wstring& headers, bool anyStatusIsFinal, DWORD& statusCode);
    bool OpenRequest();

    bool Transfer();
    enum class BodyEnd { Complete, EndedEarly, Failed };
    // Streams the current response's body into the file: from its start when `append` is false,
    // else after the `held` bytes the file already has.
    BodyEnd ReceiveToFile(DWORD contentLength, bool lengthKnown, bool append = false);
    // The file at `offset`, cut there: created on first use, then always the same handle.
    bool PositionFile(std::uint64_t offset);
    FurtherAnswer ReadFurtherAnswer(DWORD statusCode);

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

    // The download so far: bytes in the file, the resource's length when an answer named it
    // (0: unknown), and whether (and against which version) the rest can be asked for.
    std::uint64_t held_ = 0;
    std::uint64_t total_ = 0;
    ResumeSupport resume_;

    std::uint64_t limit_ = 0;
    bool exceededLimit_ = false;

    FileHandle file_;
    bool wroteFile_ = false;
    Sha256 hash_;
    std::string* bodyCopy_ = nullptr;

    std::wstring objectName_;
    INTERNET_PORT port_ = 0;
    bool secure_ = false;
};

}  // namespace velt
