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
    // A handle that could not be made shows up as a failed send in Fetch.
    OpenRequest();
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

std::wstring CDownloader::QueryTextHeader(DWORD infoLevel)
{
    DWORD size = 0;
    ::WinHttpQueryHeaders(hRequest.get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                          WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::wstring();
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!::WinHttpQueryHeaders(hRequest.get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                               WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    text.resize(size / sizeof(wchar_t));
    return text;
}

bool CDownloader::OpenRequest()
{
    // A GET on the connection and session Open made: a further request after a break has the
    // same proxy, the same object and the same TLS as the first.
    hRequest.reset();
    hRequest.reset(::WinHttpOpenRequest(hConnect.get(), L"GET", objectName_.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, secure_ ? WINHTTP_FLAG_SECURE : 0));
    return static_cast<bool>(hRequest);
}

CDownloader::SendOutcome CDownloader::SendRequest(const std::wstring& headers, bool anyStatusIsFinal,
                                                  DWORD& statusCode)
{
    for (int attemptsLeft = kAttempts; attemptsLeft > 0; --attemptsLeft) {
        const BOOL sent = headers.empty()
                              ? ::WinHttpSendRequest(hRequest.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                     WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
                              : ::WinHttpSendRequest(hRequest.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                                     WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
        if (!sent) {
            if (isSecureFailure(::GetLastError())) {
                logError(L"ERROR_WINHTTP_SECURE_FAILURE error occurred.\n");
                return SendOutcome::Failed;
            }
            return SendOutcome::ConnectionLost;
        }
        if (!::WinHttpReceiveResponse(hRequest.get(), nullptr)) {
            if (::GetLastError() == ERROR_WINHTTP_RESEND_REQUEST) continue;
            return SendOutcome::ConnectionLost;
        }
        if (QueryNumberHeader(WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, statusCode))
            logInfo(L"%d >> The return code for the http request = [%u].\n", attemptsLeft,
                    static_cast<unsigned>(statusCode));

        if (statusCode == HTTP_STATUS_PROXY_AUTH_REQ) {
            DWORD supported = 0, first = 0, target = 0;
            const bool queried = ::WinHttpQueryAuthSchemes(hRequest.get(), &supported, &first, &target) != FALSE;
            const DWORD scheme = proxyChallengeScheme(queried, supported);
            if (scheme == 0) {
                // Sending the same request again would only bring the same challenge.
                logError(L"The proxy asks for authentication without a scheme that can be answered.\n");
                return SendOutcome::Failed;
            }
            ::WinHttpSetCredentials(hRequest.get(), WINHTTP_AUTH_TARGET_PROXY, scheme, orNull(proxyUser),
                                    orNull(proxyPassword), nullptr);
            continue;
        }
        if (statusCode == HTTP_STATUS_OK || anyStatusIsFinal) return SendOutcome::Answered;
    }
    return SendOutcome::Failed;
}

bool CDownloader::Fetch(DownloadProgressCallback callback)
{
    progressCallback = callback;
    DWORD statusCode = 0;
    SendOutcome sent = SendRequest(std::wstring(), false, statusCode);
    if (sent != SendOutcome::Answered) return false;

    bool append = false;
    for (int further = 1;; ++further) {
        // The answer in hand is a 200 (the whole resource) or a 206 continuing the file.
        DWORD contentLength = 0;
        const bool lengthKnown =
            QueryNumberHeader(WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, contentLength);
        if (!append) {
            // A whole body: its headers say whether a later break can be resumed, and how.
            held_ = 0;
            total_ = lengthKnown ? contentLength : 0;
            resume_.byteRanges = acceptsByteRanges(QueryTextHeader(WINHTTP_QUERY_ACCEPT_RANGES));
            resume_.validator =
                resumeValidator(QueryTextHeader(WINHTTP_QUERY_ETAG), QueryTextHeader(WINHTTP_QUERY_LAST_MODIFIED));
        } else if (total_ == 0 && lengthKnown) {
            total_ = held_ + contentLength;
        }
        BodyEnd end = ReceiveToFile(contentLength, lengthKnown, append);
        // A part without a length of its own ends with its connection; the whole is still known.
        if (end == BodyEnd::Complete && append && total_ != 0 && held_ != total_) end = BodyEnd::EndedEarly;
        if (end == BodyEnd::Complete) return true;
        if (end == BodyEnd::Failed) return false;

        // The body ended early: ask again, for the rest when the server can tell us the same
        // version's rest, else for everything.
        bool ranged = false;
        for (;; ++further) {
            if (further > kMaxFurtherRequests) {
                logError(L"The download did not complete after %d further requests.\n", kMaxFurtherRequests);
                return false;
            }
            ::Sleep(furtherRequestPauseMs(further));
            ranged = resume_.usable() && held_ > 0;
            const std::uint64_t from = ranged ? held_ : 0;
            logInfo(L"Download ended early; further request %d of %d from byte %I64u.\n", further,
                    kMaxFurtherRequests, static_cast<unsigned long long>(from));
            if (!OpenRequest()) return false;
            statusCode = 0;
            sent = SendRequest(ranged ? resumeRequestHeaders(held_, resume_.validator) : std::wstring(), true,
                               statusCode);
            if (sent == SendOutcome::Failed) return false;
            if (sent == SendOutcome::Answered) break;
            // No answer at all: the network is still away; the next request waits longer.
        }
        const ResumeAction action = decideResume(statusCode, ranged, held_, total_,
                                                 QueryTextHeader(WINHTTP_QUERY_CONTENT_RANGE));
        if (action == ResumeAction::Fail) {
            logError(L"The answer to further request %d cannot complete the file.\n", further);
            return false;
        }
        if (action == ResumeAction::Append && resume_.validator.front() == L'"') {
            // A server that names versions must name the one asked for; a part of any other
            // would make the file a mix of two.
            const std::wstring tag = QueryTextHeader(WINHTTP_QUERY_ETAG);
            if (!tag.empty() && tag != resume_.validator) {
                logError(L"The resumed part belongs to another version of the file.\n");
                return false;
            }
        }
        append = action == ResumeAction::Append;
    }
}

CDownloader::BodyEnd CDownloader::ReceiveToFile(DWORD contentLength, bool lengthKnown, bool append)
{
    logInfo(L"Begin to receive binary from server.\n");
    BodyOutcome outcome;
    outcome.lengthKnown = lengthKnown;
    outcome.contentLength = lengthKnown ? contentLength : 0;
    const std::uint64_t offset = append ? held_ : 0;
    // Percentages count what the file holds of the whole, so a resumed download carries on
    // where the bar stood.
    const std::uint64_t whole = append ? total_ : outcome.contentLength;

    FileHandle file(::CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  append ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        // Nothing could be kept, so there is nothing to download.
        logError(L"Cannot create the file [%s], GetLastError() = %u.\n", filePath.c_str(),
                 static_cast<unsigned>(::GetLastError()));
        outcome.writeFailed = true;
    } else if (append) {
        // Continue exactly after the bytes counted as held.
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
            logError(L"Error in SetFilePointerEx, GetLastError() = %u.\n", static_cast<unsigned>(::GetLastError()));
            outcome.writeFailed = true;
            file.reset();
        }
    }
    held_ = offset;

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
                outcome.writeFailed = true;
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
                if (!outcome.writeFailed) held_ = offset + outcome.received;
                // Nothing more although WinHTTP said there was: the response has ended.
                if (read == 0) available = 0;
            } else {
                logError(L"Error in WinHttpReadData, GetLastError() = %u.\n", static_cast<unsigned>(::GetLastError()));
                outcome.readFailed = true;
            }
        }
        if (progressCallback) {
            float percent = downloadPercent(offset + outcome.received, static_cast<std::uint32_t>(whole));
            progressCallback(&percent);
        }
        if (available == 0 || outcome.readFailed || outcome.writeFailed) break;
    }
    file.reset();
    logInfo(L"End of receive binary from server.\n");

    if (!outcome.readFailed && !outcome.writeFailed && !bodyComplete(outcome))
        logError(L"Received %I64u bytes of the %u announced.\n", static_cast<unsigned long long>(outcome.received),
                 static_cast<unsigned>(outcome.contentLength));
    // What cannot be written (or held in memory) will not be written on a further request either.
    if (outcome.writeFailed) return BodyEnd::Failed;
    return bodyComplete(outcome) ? BodyEnd::Complete : BodyEnd::EndedEarly;
}

}  // namespace velt
