#include "proxymanager/proxy_manager_win.h"

#include <wincred.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "proxymanager/auth_scheme.h"
#include "proxymanager/credential_store.h"
#include "proxymanager/diagnostics.h"
#include "proxymanager/diagnostics_win.h"
#include "proxymanager/proxy_list.h"
#include "proxymanager/secret_wipe.h"
#include "proxymanager/text_convert.h"

namespace VELT {
namespace ProxyManager {

namespace {

// The result's strings are released by veltReleaseProxyInfo with free().
char* HeapCopy(const std::string& text)
{
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

constexpr DWORD kCredentialBufferChars = 256;
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 2048;

}  // namespace

ProxyManagerImplWin::~ProxyManagerImplWin() { WipeText(password); }

PMStatus ProxyManagerImplWin::GetProxyInfo(const UserData* in, ProxyResult* out)
{
    DebugLog(LOG_INFO, L"Performing 'GetProxyInfo' API ...");
    std::wstring proxyList;
    std::vector<ProxyCandidate> candidates;

    PMStatus status = ValidateInput(in, out);
    if (status != PM_STATUS_SUCCESS) {
        DebugLog(LOG_ERROR, L"Input data 'UserData.url' is NULL or empty!");
        return ReportStatus(status, out);
    }

    url = in->url;
    DebugLogA(LOG_INFO, "Input URL:%s", url.c_str());
    if (in->user != nullptr) {
        user = in->user;
        DebugLogA(LOG_INFO, "Input user:%s", user.c_str());
    }
    if (in->password != nullptr) {
        AssignSecret(password, in->password, std::strlen(in->password));
        DebugLogA(LOG_INFO, "Input password:****");
    }

    status = DiscoverProxyConfiguration(proxyList);
    if (status != PM_STATUS_SUCCESS) return ReportStatus(status, out);

    if (!FetchServerInfo(proxyList, candidates)) return ReportStatus(PM_STATUS_FAILURE, out);

    // A list that parsed but gave no usable entry (";;", for instance) has no proxy to offer:
    // reporting success here would hand the caller a result without a server.
    status = candidates.empty() ? PM_STATUS_FAILURE : PM_STATUS_SUCCESS;
    for (const ProxyCandidate& candidate : candidates) {
        server = candidate.server;
        serverPort = candidate.serverPort;
        proxyName = ToWide(server) + L":" + ToWide(serverPort);
        DebugLogA(LOG_DEBUG, "Discovered proxy server information [server=%s port=%s]", server.c_str(),
                  serverPort.c_str());
        status = CheckAuthenticatingProxy(in->silentMode);
        if (status != PM_STATUS_SUCCESS) continue;

        if (user.empty()) {
            DebugLog(LOG_DEBUG, L"No authenticating proxy server detected.");
        } else {
            DebugLog(LOG_DEBUG, L"Authenticating proxy server detected with credentials [user=%s password=****]",
                     ToWide(user).c_str());
        }
        FillResult(out);
        break;
    }
    if (status != PM_STATUS_SUCCESS) DebugLog(LOG_DEBUG, L"No VALID proxy servers detected.");
    return ReportStatus(status, out);
}

void ProxyManagerImplWin::FillResult(ProxyResult* out)
{
    // All or nothing: every copy is made before the record is touched, and when one cannot be
    // made the others are freed again, so the record keeps only nulls.
    char* copies[4] = {};
    const std::string* texts[4] = {&server, &serverPort, &user, &password};
    try {
        for (int i = 0; i < 4; ++i) copies[i] = HeapCopy(*texts[i]);
    } catch (...) {
        for (char* copy : copies) std::free(copy);  // the password's copy is the last: never made here
        throw;
    }
    out->server = copies[0];
    out->serverPort = copies[1];
    out->user = copies[2];
    out->password = copies[3];
    out->authScheme = authScheme;
}

bool ProxyManagerImplWin::FetchServerInfo(std::wstring proxyList, std::vector<ProxyCandidate>& candidates)
{
    return FetchServerInfoForUrl(url, std::move(proxyList), candidates);
}

PMStatus ProxyManagerImplWin::CheckAuthenticatingProxy(const bool& silentMode)
{
    DebugLog(LOG_INFO, L"Performing 'CheckAuthenticatingProxy' ...");
    std::wstring workUser;
    std::wstring workPassword;
    WipeTextOnExit<std::wstring> wipeWorkPassword(workPassword);
    DWORD offeredSchemes = 0;
    DWORD statusCode = 0;
    bool storeOnSuccess = false;
    bool storeTried = false;
    DWORD securityLevel = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;

    if (url.empty() || proxyName.empty()) {
        DebugLog(LOG_ERROR, L"URL or Proxy server is empty!");
        return PM_STATUS_INVALID_INPUT;
    }

    // Declared in this order so that they close request, connection, session.
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
    if (!OpenRequest(session, connection, request)) return PM_STATUS_FAILURE;

    DebugLog(LOG_DEBUG, L"Setting security level high for WinHTTP communications.");
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &securityLevel, sizeof(securityLevel))) {
        ReportApiFailure(L"WinHttpSetOption");
        return PM_STATUS_FAILURE;
    }

    const std::wstring target = ToWide(server);
    if (!user.empty()) {
        DebugLogA(LOG_INFO, "Using invoker provided proxy credentials with user:%s", user.c_str());
        workUser = ToWide(user);
        ToWideSecret(password, workPassword);
        storeOnSuccess = true;
    } else if (LoadCredentials(target, workUser, workPassword)) {
        DebugLogA(LOG_INFO, "Using cached credentials for proxy server:%s  user:%s", server.c_str(),
                  ToUtf8(workUser).c_str());
        storeTried = true;
    }

    if (!workUser.empty()) {
        // One unauthenticated round trip to learn which schemes the proxy offers.
        DebugLog(LOG_INFO, L"Detecting auth scheme for the available credentials ...");
        if (SendRequest(request)) QueryAuthScheme(request, offeredSchemes);
    }

    for (;;) {
        if (offeredSchemes != 0) {
            const DWORD scheme = ChooseAuthScheme(offeredSchemes);
            DebugLog(LOG_DEBUG, L"Trying %lu authentication scheme although proxy server supports %lu authentication scheme",
                     static_cast<unsigned long>(scheme), static_cast<unsigned long>(offeredSchemes));
            if (!::WinHttpSetCredentials(request.get(), WINHTTP_AUTH_TARGET_PROXY, scheme, workUser.c_str(),
                                         workPassword.c_str(), nullptr)) {
                ReportApiFailure(L"WinHttpSetCredentials");
                return PM_STATUS_FAILURE;
            }
        }
        if (!SendRequest(request)) {
            if (lastSendError_ == ERROR_WINHTTP_RESEND_REQUEST) continue;
            return PM_STATUS_FAILURE;
        }
        if (!GetHTTPStatusCode(request, statusCode)) return PM_STATUS_FAILURE;
        if (statusCode != HTTP_STATUS_PROXY_AUTH_REQ) break;

        storeOnSuccess = true;
        QueryAuthScheme(request, offeredSchemes);
        // A challenge without a scheme WinHTTP can answer (none at all, an unknown one, Passport
        // alone) cannot be met with any credentials: prompting would ask the user again and again
        // for something that is never sent. This candidate is unusable.
        if (ChooseAuthScheme(offeredSchemes) == 0) {
            DebugLog(LOG_ERROR, L"Proxy server offers no usable authentication scheme (%lu).",
                     static_cast<unsigned long>(offeredSchemes));
            return PM_STATUS_FAILURE;
        }
        securityLevel = WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM;
        if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &securityLevel, sizeof(securityLevel))) {
            ReportApiFailure(L"WinHttpSetOption");
        }

        // Stored credentials get one automatic try per probe; after that the user decides.
        const bool prompt = storeTried || !LoadCredentials(target, workUser, workPassword);
        if (prompt) {
            if (silentMode) {
                DebugLog(LOG_ERROR, L"PM_STATUS_SILENT_MODE_ERROR - Application running under Silent Mode "
                                    L"and it requires proxy server credentials.");
                return PM_STATUS_SILENT_MODE_ERROR;
            }
            const PMStatus dialogStatus = ShowCredentialDialog(target, workUser, workPassword);
            if (dialogStatus != PM_STATUS_SUCCESS) return dialogStatus;
        }
        storeTried = true;
    }

    user = ToUtf8(workUser);
    ToUtf8Secret(workPassword, password);
    if (storeOnSuccess) StoreCredentials(target, workUser, workPassword);
    authScheme = ToResultAuthScheme(offeredSchemes);
    return PM_STATUS_SUCCESS;
}

bool ProxyManagerImplWin::OpenRequest(InternetHandle& session, InternetHandle& connection, InternetHandle& request)
{
    DebugLog(LOG_DEBUG, L"Performing 'OpenRequest' ...");
    session.reset(::WinHttpOpen(L"WinHTTP/1.0", WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxyName.c_str(),
                                WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        ReportApiFailure(L"WinHttpOpen");
        return false;
    }

    const std::wstring wideUrl = ToWide(url);
    wchar_t hostName[kHostNameChars] = {};
    wchar_t urlPath[kUrlPathChars] = {};
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = hostName;
    components.dwHostNameLength = kHostNameChars;
    components.lpszUrlPath = urlPath;
    components.dwUrlPathLength = kUrlPathChars;
    if (!::WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(::lstrlenW(wideUrl.c_str())), 0, &components)) {
        ReportApiFailure(L"WinHttpCrackUrl");
        session.reset();
        return false;
    }

    // The probe asks for the target's root on the URL's own port (the scheme's standard port when
    // none is written): through a proxy an https request is a tunnel to exactly that port, and a
    // tunnel to a port the server does not listen on fails even with the right credentials.
    const bool secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    const INTERNET_PORT port = components.nPort;
    connection.reset(::WinHttpConnect(session.get(), hostName, port, 0));
    if (!connection) {
        ReportApiFailure(L"WinHttpConnect");
        session.reset();
        return false;
    }

    request.reset(::WinHttpOpenRequest(connection.get(), L"HEAD", nullptr, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        ReportApiFailure(L"WinHttpOpenRequest");
        connection.reset();
        session.reset();
        return false;
    }
    return true;
}

bool ProxyManagerImplWin::SendRequest(InternetHandle& request)
{
    DebugLog(LOG_DEBUG, L"Performing 'SendRequest' ...");
    lastSendError_ = 0;
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        lastSendError_ = ::GetLastError();
        ReportApiFailure(L"WinHttpSendRequest");
        return false;
    }
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        lastSendError_ = ::GetLastError();
        ReportApiFailure(L"WinHttpReceiveResponse");
        return false;
    }
    return true;
}

bool ProxyManagerImplWin::QueryAuthScheme(InternetHandle& request, DWORD& schemes)
{
    DebugLog(LOG_DEBUG, L"Performing 'QueryAuthScheme' ...");
    schemes = 0;
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (::WinHttpQueryAuthSchemes(request.get(), &supported, &first, &target)) {
        schemes = supported;
        DebugLog(LOG_DEBUG, L"Proxy server supports AuthScheme:%lu", static_cast<unsigned long>(schemes));
        return true;
    }
    ReportApiFailure(L"WinHttpQueryAuthSchemes");
    return false;
}

bool ProxyManagerImplWin::GetHTTPStatusCode(InternetHandle& request, DWORD& status)
{
    DebugLog(LOG_DEBUG, L"Performing 'GetHTTPStatusCode' ...");
    status = 0;
    DWORD value = 0;
    DWORD length = sizeof(value);
    if (::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &value, &length, WINHTTP_NO_HEADER_INDEX)) {
        DebugLog(LOG_DEBUG, L"Received HTTP status:%lu", static_cast<unsigned long>(value));
        status = value;
        return true;
    }
    ReportApiFailure(L"WinHttpQueryHeaders");
    return false;
}

PMStatus ProxyManagerImplWin::ShowCredentialDialog(std::wstring target, std::wstring& user, std::wstring& password)
{
    DebugLog(LOG_INFO, L"Performing 'ShowCredentialDialog' ...");
    wchar_t typedUser[kCredentialBufferChars] = {};
    wchar_t parsedUser[kCredentialBufferChars] = {};
    wchar_t domain[kCredentialBufferChars] = {};
    wchar_t typedPassword[kCredentialBufferChars] = {};
    WipeBytesOnExit wipeTypedPassword(typedPassword, sizeof(typedPassword));
    // The dialog comes up after a 407. When that answer refused credentials, the dialog must say
    // so: without CREDUI_FLAGS_INCORRECT_PASSWORD, CredUI may hand back a saved credential for
    // the target without showing anything (Wine does this with the very entry StoreCredentials
    // wrote), and the probe would send the refused credentials again, forever.
    DWORD flags = CREDUI_FLAGS_DO_NOT_PERSIST | CREDUI_FLAGS_EXCLUDE_CERTIFICATES;
    if (!user.empty()) flags |= CREDUI_FLAGS_INCORRECT_PASSWORD;
    user.clear();
    WipeText(password);

    const DWORD result = ::CredUIPromptForCredentialsW(nullptr, target.c_str(), nullptr, 0, typedUser,
                                                       kCredentialBufferChars, typedPassword,
                                                       kCredentialBufferChars, nullptr, flags);
    DebugLog(LOG_INFO, L"ShowCredentialDialog response:%lu", static_cast<unsigned long>(result));
    if (result == ERROR_CANCELLED) {
        DebugLog(LOG_INFO, L"User CANCELLED credential dialog!");
        return PM_STATUS_USER_CANCELLED;
    }
    if (result != NO_ERROR) {
        DebugLog(LOG_ERROR, L"CredUIPromptForCredentialsW() API failed. Error:%lu", static_cast<unsigned long>(result));
        return PM_STATUS_FAILURE;
    }

    const DWORD parsed = ::CredUIParseUserNameW(typedUser, parsedUser, kCredentialBufferChars, domain,
                                                kCredentialBufferChars);
    if (parsed != NO_ERROR) {
        DebugLog(LOG_ERROR, L"CredUIParseUserNameW() API failed. Error:%lu", static_cast<unsigned long>(parsed));
        return PM_STATUS_FAILURE;
    }
    user = ComposeDialogUser(domain, parsedUser, target);
    AssignSecret(password, typedPassword, ::wcsnlen(typedPassword, kCredentialBufferChars));
    return PM_STATUS_SUCCESS;
}

PMStatus veltGetProxyInfo(const UserData* in, ProxyResult* out)
{
    if (in == nullptr || out == nullptr) return PM_STATUS_INVALID_INPUT;
    ProxyManagerImplWin manager;
    return manager.ProxyManagerImplWin::GetProxyInfo(in, out);
}

}  // namespace ProxyManager
}  // namespace VELT
