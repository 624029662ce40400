#include "net/downloader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "app/bootstrap_log.h"
#include "app/win_handles.h"
#include "net/download_logic.h"
#include "proxymanager/proxy_manager.h"
#include "proxymanager/secret_wipe.h"
#include "proxymanager/text_convert.h"

namespace velt {

namespace pm = VELT::ProxyManager;

namespace {

constexpr wchar_t kUserAgent[] = L"WEB_INSTALL_3_0";
constexpr int kAttempts = 4;

void wipe(std::optional<std::wstring>& secret)
{
    if (secret) pm::WipeText(*secret);  // the whole buffer, not only the current length
    secret.reset();
}

// The proxy manager's records are UTF-8; its own conversion keeps every character intact.
std::optional<std::wstring> widen(const char* text)
{
    if (!text) return std::nullopt;
    return pm::ToWide(text);
}

const wchar_t* orNull(const std::optional<std::wstring>& text) { return text ? text->c_str() : nullptr; }

}  // namespace

CDownloader::CDownloader(const std::wstring& url, const std::wstring& filePath) : url(url), filePath(filePath) {}

CDownloader::~CDownloader()
{
    hRequest.reset();
    hConnect.reset();
    hSession.reset();
    wipe(proxyPassword);
}

bool CDownloader::Open()
{
    // Released on every path; releasing twice is harmless.
    pm::ProxyResult result{};
    try {
        return OpenSession(result);
    } catch (...) {
        // A conversion that fails inside the proxy manager or here, or memory running out, is a
        // session that cannot be opened: the flow reports it like any other (7) instead of
        // losing the worker.
        pm::veltReleaseProxyInfo(&result);
        logError(L"The download session cannot be set up: the proxy lookup or a text conversion failed.\n");
        return false;
    }
}

bool CDownloader::OpenSession(pm::ProxyResult& result)
{
    // The proxy manager reads its input as UTF-8, so a URL with any character reaches it whole.
    const std::string urlUtf8 = pm::ToUtf8(url);
    pm::UserData in{};
    in.url = urlUtf8.c_str();
    const pm::PMStatus status = pm::veltGetProxyInfo(&in, &result);

    DWORD accessType = 0;
    if (status == pm::PM_STATUS_NO_PROXY) {
        accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    } else if (status == pm::PM_STATUS_SUCCESS) {
        accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    } else {
        pm::veltReleaseProxyInfo(&result);
        logError(L"Error in veltGetProxyInfo, error code %u\n", static_cast<unsigned>(status));
        return false;
    }
    ApplyProxyResult(result);
    const bool named = status == pm::PM_STATUS_SUCCESS && proxyName;
    hSession.reset(::WinHttpOpen(kUserAgent, accessType, named ? proxyName->c_str() : WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    pm::veltReleaseProxyInfo(&result);

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        logError(L"Error in WinHttpCrackUrl, GetLastError() = %u\n", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    hostName.assign(parts.lpszHostName, parts.dwHostNameLength);
    port_ = parts.nPort;
    // TLS follows the scheme: an https URL is always secure, an http one never, whatever port
    // either names.
    secure_ = parts.nScheme == INTERNET_SCHEME_HTTPS;
    // The object is everything from the path on: path, query and fragment as the URL has them.
    const std::size_t pathStart = parts.lpszUrlPath ? static_cast<std::size_t>(parts.lpszUrlPath - url.c_str()) : url.size();
    objectName_ = url.substr(std::min(pathStart, url.size()));

    hConnect.reset(::WinHttpConnect(hSession.get(), hostName.c_str(), port_, 0));
    hRequest.reset(::WinHttpOpenRequest(hConnect.get(), L"GET", objectName_.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, secure_ ? WINHTTP_FLAG_SECURE : 0));
    // A handle that could not be made shows up as a failed send in Fetch.
    return true;
}

void CDownloader::ApplyProxyResult(const pm::ProxyResult& result)
{
    if (result.server) {
        proxyServer = widen(result.server);
        proxyPort = widen(result.serverPort);
        proxyName = *proxyServer + L":" + (proxyPort ? *proxyPort : std::wstring());
    }
    if (result.user) proxyUser = widen(result.user);
    if (result.password) {
        // Converted straight into the member: no temporary copy of the password is left behind.
        wipe(proxyPassword);
        proxyPassword.emplace();
        pm::ToWideSecret(result.password, std::strlen(result.password), *proxyPassword);
    }
}

DWORD CDownloader::PickProxyAuthScheme(DWORD supported) { return pickProxyAuthScheme(supported); }

bool CDownloader::QueryNumberHeader(DWORD infoLevel, DWORD& value)
{
    DWORD size = sizeof(value);
    return ::WinHttpQueryHeaders(hRequest.get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                                 WINHTTP_NO_HEADER_INDEX) != FALSE;
}

bool CDownloader::Fetch(DownloadProgressCallback callback)
{
    progressCallback = callback;
    DWORD statusCode = 0;
    for (int attemptsLeft = kAttempts; attemptsLeft > 0; --attemptsLeft) {
        if (!::WinHttpSendRequest(hRequest.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            if (isSecureFailure(::GetLastError()))
                logError(L"ERROR_WINHTTP_SECURE_FAILURE error occurred.\n");
            return false;
        }
        if (!::WinHttpReceiveResponse(hRequest.get(), nullptr)) {
            if (::GetLastError() == ERROR_WINHTTP_RESEND_REQUEST) continue;
            return false;
        }
        if (QueryNumberHeader(WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, statusCode))
            logInfo(L"%d >> The return code for the http request = [%u].\n", attemptsLeft,
                    static_cast<unsigned>(statusCode));

        if (statusCode == HTTP_STATUS_OK) {
            DWORD contentLength = 0;
            const bool lengthKnown =
                QueryNumberHeader(WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, contentLength);
            return ReceiveToFile(contentLength, lengthKnown);
        }
        if (statusCode == HTTP_STATUS_PROXY_AUTH_REQ) {
            DWORD supported = 0, first = 0, target = 0;
            const DWORD scheme = ::WinHttpQueryAuthSchemes(hRequest.get(), &supported, &first, &target)
                                     ? PickProxyAuthScheme(supported)
                                     : kAuthBasic;
            ::WinHttpSetCredentials(hRequest.get(), WINHTTP_AUTH_TARGET_PROXY, scheme, orNull(proxyUser),
                                    orNull(proxyPassword), nullptr);
        }
    }
    return false;
}

bool CDownloader::ReceiveToFile(DWORD contentLength, bool lengthKnown)
{
    logInfo(L"Begin to receive binary from server.\n");
    BodyOutcome outcome;
    outcome.lengthKnown = lengthKnown;
    outcome.contentLength = lengthKnown ? contentLength : 0;

    FileHandle file(::CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        // Nothing could be kept, so there is nothing to download.
        logError(L"Cannot create the file [%s], GetLastError() = %u.\n", filePath.c_str(),
                 static_cast<unsigned>(::GetLastError()));
        outcome.writeFailed = true;
    }

    std::vector<char> buffer;
    ReadSizer sizer;
    while (file) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(hRequest.get(), &available)) {
            logInfo(L"Error in WinHttpQueryDataAvailable, GetLastError() = [%d].\n", static_cast<int>(::GetLastError()));
            outcome.readFailed = true;
            available = 0;
        }
        const DWORD wanted = sizer.wanted(available);
        DWORD read = 0;
        if (wanted > buffer.size()) {
            try {
                buffer.resize(wanted);
            } catch (const std::bad_alloc&) {
                logInfo(L"Out of memory.\n");
                outcome.readFailed = true;
                break;
            }
        }
        if (wanted > 0) {
            const ULONGLONG started = ::GetTickCount64();
            const BOOL ok = ::WinHttpReadData(hRequest.get(), buffer.data(), wanted, &read);
            sizer.update(wanted, ::GetTickCount64() - started);
            if (ok) {
                DWORD written = 0;
                if (read > 0 && (!::WriteFile(file.get(), buffer.data(), read, &written, nullptr) || written != read)) {
                    logError(L"Error in WriteFile, GetLastError() = %u.\n", static_cast<unsigned>(::GetLastError()));
                    outcome.writeFailed = true;
                }
                outcome.received += read;
                // Nothing more although WinHTTP said there was: the response has ended.
                if (read == 0) available = 0;
            } else {
                logError(L"Error in WinHttpReadData, GetLastError() = %u.\n", static_cast<unsigned>(::GetLastError()));
                outcome.readFailed = true;
            }
        }
        if (progressCallback) {
            float percent = downloadPercent(outcome.received, outcome.contentLength);
            progressCallback(&percent);
        }
        if (available == 0 || outcome.readFailed || outcome.writeFailed) break;
    }
    file.reset();
    logInfo(L"End of receive binary from server.\n");

    if (!outcome.readFailed && !outcome.writeFailed && !bodyComplete(outcome))
        logError(L"Received %I64u bytes of the %u announced.\n", static_cast<unsigned long long>(outcome.received),
                 static_cast<unsigned>(outcome.contentLength));
    return bodyComplete(outcome);
}

}  // namespace velt
