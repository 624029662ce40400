// The class pair behind veltGetProxyInfo: an abstract base with the input check that every
// implementation shares, and (in proxy_manager_win.h) the Windows implementation.
#pragma once

#include <string>

#include "proxymanager/proxy_manager.h"

namespace VELT {
namespace ProxyManager {

// One proxy to probe, in the order it stands in the proxy list. Both texts are UTF-8.
struct ProxyCandidate {
    std::string server;
    std::string serverPort;
};

class ProxyManagerImpl {
public:
    virtual ~ProxyManagerImpl() = default;
    virtual PMStatus GetProxyInfo(const UserData* in, ProxyResult* out) = 0;
    // Resets out (through the virtual slot), then answers PM_STATUS_SUCCESS for a non-empty url
    // and PM_STATUS_INVALID_INPUT otherwise.
    virtual PMStatus ValidateInput(const UserData* in, ProxyResult* out);
    // Nulls every field without freeing anything: the record may hold caller garbage.
    virtual void ResetResult(ProxyResult* out);
};

}  // namespace ProxyManager
}  // namespace VELT
