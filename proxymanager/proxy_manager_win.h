// The Windows implementation of the proxy manager: discovery through WinHTTP and the user's
// Internet settings, the probe of each candidate through WinHTTP, and the credential dialog.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "proxymanager/proxy_manager_impl.h"

namespace VELT {
namespace ProxyManager {

inline void CloseInternetHandle(HINTERNET handle) { ::WinHttpCloseHandle(handle); }
using InternetHandle = velt::UniqueHandle<velt::NullHandleTraits<HINTERNET, CloseInternetHandle>>;

class ProxyManagerImplWin : public ProxyManagerImpl {
public:
    ProxyManagerImplWin() = default;
    ~ProxyManagerImplWin() override;  // wipes the password

    PMStatus GetProxyInfo(const UserData* in, ProxyResult* out) override;

    // Discovery: WPAD, the PAC URL, the static list, then the default WinHTTP configuration.
    PMStatus DiscoverProxyConfiguration(std::wstring& proxyList);
    bool AutoDetectProxyInfo(bool& autoDetect, std::wstring pacUrl, std::wstring& proxyList);

    // Parsing of the discovered list for the member url.
    bool FetchServerInfo(std::wstring proxyList, std::vector<ProxyCandidate>& candidates);

    // The probe of the candidate in server / serverPort / proxyName.
    PMStatus CheckAuthenticatingProxy(const bool& silentMode);
    bool OpenRequest(InternetHandle& session, InternetHandle& connection, InternetHandle& request);
    bool SendRequest(InternetHandle& request);
    bool QueryAuthScheme(InternetHandle& request, DWORD& schemes);
    bool GetHTTPStatusCode(InternetHandle& request, DWORD& status);
    PMStatus ShowCredentialDialog(std::wstring target, std::wstring& user, std::wstring& password);

    void FillResult(ProxyResult* out);

    std::string url;
    std::string server;
    std::string serverPort;
    std::string user;
    std::string password;
    std::uint32_t authScheme = 0;
    std::wstring proxyName;

protected:
    // The one call of automatic detection and PAC evaluation. WPAD needs a DNS domain or DHCP,
    // which a test machine does not have; a test derives from this class to stand in for the
    // detection step and still runs the rest of discovery for real.
    virtual BOOL ResolveProxyForUrl(HINTERNET session, const std::wstring& targetUrl,
                                    WINHTTP_AUTOPROXY_OPTIONS& options, WINHTTP_PROXY_INFO& info);

private:
    DWORD lastSendError_ = 0;  // error code of the last failed send or receive
};

}  // namespace ProxyManager
}  // namespace VELT
