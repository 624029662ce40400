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
            // Only a proxy this session was told to use, with a user to answer as, gets
            // credentials. Null credentials would let the platform offer the logged-on user's own
            // (elevated) logon to whatever answered.
            if (!proxyName || !proxyUser) {
                logError(L"Proxy authentication is asked for, but no proxy with credentials is in use.\n");
                return SendOutcome::Failed;
            }
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
    const bool done = Transfer();
    // Closed on every path: the caller locks the file (or deletes it) by its path next.
    file_.reset();
    return done;
}

FurtherAnswer CDownloader::ReadFurtherAnswer(DWORD statusCode)
{
    FurtherAnswer answer;
    answer.status = statusCode;
    answer.contentRange = QueryTextHeader(WINHTTP_QUERY_CONTENT_RANGE);
    DWORD length = 0;
    answer.lengthKnown = QueryNumberHeader(WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, length);
    answer.contentLength = length;
    answer.etag = QueryTextHeader(WINHTTP_QUERY_ETAG);
    answer.lastModified = QueryTextHeader(WINHTTP_QUERY_LAST_MODIFIED);
    return answer;
}

bool CDownloader::Transfer()
{
    DWORD statusCode = 0;
    if (SendRequest(std::wstring(), false, statusCode) != SendOutcome::Answered) return false;

    // Each turn: take in the answer's body (the whole resource, or the part that continues the
    // file); when the file is not complete yet, make the next further request; judge its answer.
    ResumeAction action = ResumeAction::Truncate;  // the first answer is a 200
    bool answered = true;
    for (int further = 1;; ++further) {
        if (answered && (action == ResumeAction::Truncate || action == ResumeAction::Append)) {
            DWORD contentLength = 0;
            const bool lengthKnown =
                QueryNumberHeader(WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, contentLength);
            if (action == ResumeAction::Truncate) {
                // A whole body: its headers say whether a later break can be resumed, and how.
                total_ = lengthKnown ? contentLength : 0;
                resume_.byteRanges = acceptsByteRanges(QueryTextHeader(WINHTTP_QUERY_ACCEPT_RANGES));
                resume_.validator = resumeValidator(QueryTextHeader(WINHTTP_QUERY_ETAG),
                                                    QueryTextHeader(WINHTTP_QUERY_LAST_MODIFIED));
            }
            BodyEnd end = ReceiveToFile(contentLength, lengthKnown, action == ResumeAction::Append);
            // A part that ends before the whole (or has no length of its own) leaves the rest to ask for.
            if (end == BodyEnd::Complete && total_ != 0 && held_ != total_) end = BodyEnd::EndedEarly;
            if (end == BodyEnd::Complete) return true;
            if (end == BodyEnd::Failed) return false;
        }

        // Ask again: for the rest when the server can tell us the same version's rest, else for
        // everything. No answer at all: the network is still away; the next request waits longer.
        const bool fromZero = answered && action == ResumeAction::Restart;
        if (further > kMaxFurtherRequests) {
            logError(L"The download did not complete after %d further requests.\n", kMaxFurtherRequests);
            return false;
        }
        ::Sleep(furtherRequestPauseMs(further));
        const bool ranged = !fromZero && resume_.usable() && held_ > 0;
        const std::uint64_t from = ranged ? held_ : 0;
        logInfo(L"Download ended early; further request %d of %d from byte %I64u.\n", further, kMaxFurtherRequests,
                static_cast<unsigned long long>(from));
        if (!OpenRequest()) return false;
        statusCode = 0;
        const SendOutcome sent =
            SendRequest(ranged ? resumeRequestHeaders(held_, resume_.validator) : std::wstring(), true, statusCode);
        if (sent == SendOutcome::Failed) return false;
        answered = sent == SendOutcome::Answered;
        if (!answered) continue;

        const FurtherAnswer answer = ReadFurtherAnswer(statusCode);
        action = decideResume(answer, ranged, held_, total_, resume_.validator);
        if (action == ResumeAction::Fail) {
            logError(L"The answer to further request %d cannot complete the file.\n", further);
            return false;
        }
        if (action == ResumeAction::Restart)
            logInfo(L"The answer to further request %d does not continue the file; asking for all of it.\n", further);
        ContentRange range;
        if (action == ResumeAction::Append && total_ == 0 && parseContentRange(answer.contentRange, range) &&
            range.totalKnown)
            total_ = range.total;
    }
}

bool CDownloader::PositionFile(std::uint64_t offset)
{
    if (!file_) {
        // Created when the first body arrives, so a download that never gets an answer leaves an
        // existing file of this name as it was. Readers may look; nobody else may write, rename
        // or delete it until the download is over.
        file_.reset(::CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            logError(L"Cannot create the file [%s], GetLastError() = %u.\n", filePath.c_str(),
                     static_cast<unsigned>(::GetLastError()));
            return false;
        }
        wroteFile_ = true;
        if (offset == 0) return true;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.get())) {
        logError(L"Error in SetFilePointerEx, GetLastError() = %u.\n", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    return true;
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

    // Continue exactly after the bytes counted as held, or start the file (and its hash) afresh.
    if (!PositionFile(offset)) outcome.writeFailed = true;
    if (!append) {
        hash_.restart();
        if (bodyCopy_) bodyCopy_->clear();
    }
    held_ = offset;

    std::vector<char> buffer;
    ReadSizer sizer;
    while (!outcome.writeFailed) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(hRequest.get(), &available)) {
            logInfo(L"Error in WinHttpQueryDataAvailable, GetLastError() = [%d].\n", static_cast<int>(::GetLastError()));
            outcome.readFailed = true;
            available = 0;
        }
        DWORD wanted = sizer.wanted(available);
        if (limit_ != 0 && wanted > 0) {
            // One byte more than may still come tells a body that is too long from one that fits.
            const std::uint64_t room = limit_ - (offset + outcome.received) + 1;
            if (room < wanted) wanted = static_cast<DWORD>(room);
        }
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
            if (ok && limit_ != 0 && offset + outcome.received + read > limit_) {
                logError(L"The download is longer than the %I64u bytes expected; it stops here.\n",
                         static_cast<unsigned long long>(limit_));
                exceededLimit_ = true;
                // Nothing of it is written, and no further request can make it right.
                outcome.writeFailed = true;
            } else if (ok) {
                DWORD written = 0;
                if (read > 0 && (!::WriteFile(file_.get(), buffer.data(), read, &written, nullptr) || written != read)) {
                    logError(L"Error in WriteFile, GetLastError() = %u.\n", static_cast<unsigned>(::GetLastError()));
                    outcome.writeFailed = true;
                } else if (read > 0) {
                    hash_.add(buffer.data(), read);
                    if (bodyCopy_) {
                        try {
                            bodyCopy_->append(buffer.data(), read);
                        } catch (const std::bad_alloc&) {
                            logInfo(L"Out of memory.\n");
                            outcome.writeFailed = true;
                        }
                    }
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
    logInfo(L"End of receive binary from server.\n");

    if (!outcome.readFailed && !outcome.writeFailed && !bodyComplete(outcome))
        logError(L"Received %I64u bytes of the %u announced.\n", static_cast<unsigned long long>(outcome.received),
                 static_cast<unsigned>(outcome.contentLength));
    // What cannot be written (or held in memory) will not be written on a further request either.
    if (outcome.writeFailed) return BodyEnd::Failed;
    return bodyComplete(outcome) ? BodyEnd::Complete : BodyEnd::EndedEarly;
}

}  // namespace velt
