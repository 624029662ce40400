#include "proxymanager/proxy_manager_impl.h"

#include <cstdlib>
#include <cstring>

#include "proxymanager/secret_wipe.h"

namespace VELT {
namespace ProxyManager {

PMStatus ProxyManagerImpl::ValidateInput(const UserData* in, ProxyResult* out)
{
    ResetResult(out);
    if (in != nullptr && in->url != nullptr && in->url[0] != '\0') return PM_STATUS_SUCCESS;
    return PM_STATUS_INVALID_INPUT;
}

void ProxyManagerImpl::ResetResult(ProxyResult* out)
{
    if (out == nullptr) return;
    out->user = nullptr;
    out->password = nullptr;
    out->server = nullptr;
    out->serverPort = nullptr;
    out->authScheme = 0;
}

void veltReleaseProxyInfo(ProxyResult* out)
{
    if (out == nullptr) return;
    // The password copy is the caller's last one from this library: wiped before it is freed.
    if (out->password != nullptr) WipeBytes(out->password, std::strlen(out->password));
    for (char** field : {&out->server, &out->serverPort, &out->user, &out->password}) {
        if (*field != nullptr) {
            std::free(*field);
            *field = nullptr;
        }
    }
    out->authScheme = 0;
}

}  // namespace ProxyManager
}  // namespace VELT
