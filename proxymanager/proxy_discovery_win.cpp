#include "proxymanager/diagnostics.h"
#include "proxymanager/diagnostics_win.h"
#include "proxymanager/proxy_manager_win.h"
#include "proxymanager/text_convert.h"

#include <memory>

namespace VELT {
namespace ProxyManager {

namespace {

void FreeGlobalText(LPWSTR& text)
{
    if (text != nullptr) {
        ::GlobalFree(text);
        text = nullptr;
    }
}

// The strings of the Internet-settings record belong to WinHTTP's GlobalAlloc; they are given
// back on every way out of discovery.
struct IeProxyConfigDeleter {
    void operator()(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config) const
    {
        FreeGlobalText(config->lpszAutoConfigUrl);
        FreeGlobalText(config->lpszProxy);
        FreeGlobalText(config->lpszProxyBypass);
        delete config;
    }
};

struct ProxyInfoStrings {
    WINHTTP_PROXY_INFO info = {};
    ~ProxyInfoStrings()
    {
        FreeGlobalText(info.lpszProxy);
        FreeGlobalText(info.lpszProxyBypass);
    }
};

const wchar_t* SourceName(bool autoDetect) { return autoDetect ? L"WPAD" : L"PAC URL"; }

}  // namespace

PMStatus ProxyManagerImplWin::DiscoverProxyConfiguration(std::wstring& proxyList)
{
    DebugLog(LOG_INFO, L"Performing 'DiscoverProxyConfiguration' ...");
    DebugLog(LOG_INFO, L"Discovering proxy settings from Internet Explorer ...");

    std::unique_ptr<WINHTTP_CURRENT_USER_IE_PROXY_CONFIG, IeProxyConfigDeleter> ieConfig(
        new WINHTTP_CURRENT_USER_IE_PROXY_CONFIG());
    proxyList.clear();

    if (!::WinHttpGetIEProxyConfigForCurrentUser(ieConfig.get())) {
        ReportApiFailure(L"WinHttpGetIEProxyConfigForCurrentUser");
        return PM_STATUS_FAILURE;
    }
    if (ieConfig->fAutoDetect) DebugLog(LOG_DEBUG, L"AutoDetect:%d", static_cast<int>(ieConfig->fAutoDetect));
    if (ieConfig->lpszAutoConfigUrl) DebugLog(LOG_DEBUG, L"AutoConfig URL:%s", ieConfig->lpszAutoConfigUrl);
    if (ieConfig->lpszProxy) DebugLog(LOG_DEBUG, L"Proxy server list:%s", ieConfig->lpszProxy);
    if (ieConfig->lpszProxyBypass) DebugLog(LOG_DEBUG, L"Bypass proxy server list:%s", ieConfig->lpszProxyBypass);

    if (ieConfig->fAutoDetect) {
        if (ReadBoolEnvironmentFlag(L"VELT_VELT_WPAD_PROXY_CHECK", true)) {
            DebugLog(LOG_INFO, L"Discovering WDAP based proxy setting ... (this may take several seconds)");
            bool autoDetect = true;
            if (AutoDetectProxyInfo(autoDetect, std::wstring(), proxyList)) return PM_STATUS_SUCCESS;
        } else {
            DebugLog(LOG_INFO, L"WDAP proxy check is disabled, skipping WPAD based proxy discovery.");
        }
    }

    if (ieConfig->lpszAutoConfigUrl != nullptr) {
        bool autoDetect = false;
        if (AutoDetectProxyInfo(autoDetect, ieConfig->lpszAutoConfigUrl, proxyList)) return PM_STATUS_SUCCESS;
    }

    if (ieConfig->lpszProxy != nullptr) {
        // Taken as it stands, even when empty; parsing then reports the empty list.
        proxyList = ieConfig->lpszProxy;
        return PM_STATUS_SUCCESS;
    }

    DebugLog(LOG_INFO, L"Unable to detect proxy information from IE settings. Trying to get proxy "
                       L"information using default proxy configuration ...");
    ProxyInfoStrings defaults;
    if (!::WinHttpGetDefaultProxyConfiguration(&defaults.info)) {
        ReportApiFailure(L"WinHttpGetDefaultProxyConfiguration");
        return PM_STATUS_FAILURE;
    }
    if (defaults.info.lpszProxyBypass != nullptr) {
        DebugLog(LOG_DEBUG, L"Bypass proxy list:%s", defaults.info.lpszProxyBypass);
        FreeGlobalText(defaults.info.lpszProxyBypass);
    }
    if (defaults.info.lpszProxy != nullptr) {
        DebugLog(LOG_DEBUG, L"Proxy server list:%s", defaults.info.lpszProxy);
        proxyList = defaults.info.lpszProxy;
        FreeGlobalText(defaults.info.lpszProxy);
        return PM_STATUS_SUCCESS;
    }
    DebugLog(LOG_INFO, L"Unable to detect proxy information from default proxy configuration");
    DebugLog(LOG_INFO, L"No proxy server configuration detected.");
    return PM_STATUS_NO_PROXY;
}

bool ProxyManagerImplWin::AutoDetectProxyInfo(bool& autoDetect, std::wstring pacUrl, std::wstring& proxyList)
{
    DebugLog(LOG_INFO, L"Performing 'AutoDetectProxyInfo' ...");
    if (!autoDetect && pacUrl.empty()) {
        DebugLog(LOG_ERROR, L"Automatically detect proxy settings is not selected or PAC URL is empty!");
        return false;
    }
    proxyList.clear();

    InternetHandle session(::WinHttpOpen(L"WinHTTP/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        ReportApiFailure(L"WinHttpOpen");
        return false;
    }

    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (autoDetect) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_RUN_INPROCESS;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        options.lpszAutoConfigUrl = nullptr;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.dwAutoDetectFlags = 0;
        options.lpszAutoConfigUrl = pacUrl.c_str();
    }
    options.lpvReserved = nullptr;
    options.dwReserved = 0;
    options.fAutoLogonIfChallenged = TRUE;

    ProxyInfoStrings answer;
    if (!ResolveProxyForUrl(session.get(), ToWide(url), options, answer.info)) {
        ReportApiFailure(L"WinHttpGetProxyForUrl");
        DebugLog(LOG_INFO, L"Unable to automatically detect proxy information using %s", SourceName(autoDetect));
        return false;
    }
    if (answer.info.lpszProxyBypass != nullptr) {
        DebugLog(LOG_DEBUG, L"Bypass proxy server list:%s", answer.info.lpszProxyBypass);
        FreeGlobalText(answer.info.lpszProxyBypass);
    }
    if (answer.info.lpszProxy != nullptr) {
        DebugLog(LOG_DEBUG, L"Proxy server list:%s", answer.info.lpszProxy);
        proxyList = answer.info.lpszProxy;
        FreeGlobalText(answer.info.lpszProxy);
        return true;
    }
    // A direct answer is no proxy from this source: discovery goes on with the next one.
    DebugLog(LOG_INFO, L"Unable to automatically detect proxy information using %s", SourceName(autoDetect));
    return false;
}

BOOL ProxyManagerImplWin::ResolveProxyForUrl(HINTERNET session, const std::wstring& targetUrl,
                                             WINHTTP_AUTOPROXY_OPTIONS& options, WINHTTP_PROXY_INFO& info)
{
    return ::WinHttpGetProxyForUrl(session, targetUrl.c_str(), &options, &info);
}

}  // namespace ProxyManager
}  // namespace VELT
