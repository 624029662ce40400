#include "proxymanager/auth_scheme.h"

#include "proxymanager/diagnostics.h"

namespace VELT {
namespace ProxyManager {

std::uint32_t ChooseAuthScheme(const std::uint32_t& offeredSchemes)
{
    if (offeredSchemes & (kSchemeNegotiate | kSchemeNtlm)) return kSchemeNtlm;
    if (offeredSchemes & kSchemeDigest) return kSchemeDigest;
    if (offeredSchemes & kSchemeBasic) return kSchemeBasic;
    return 0;
}

std::uint32_t ToResultAuthScheme(const std::uint32_t& offeredSchemes)
{
    if (offeredSchemes & (kSchemeNegotiate | kSchemeNtlm)) return kResultSchemeNtlm;
    if (offeredSchemes & kSchemeDigest) return kResultSchemeDigest;
    if (offeredSchemes & kSchemeBasic) return kResultSchemeBasic;
    return kResultSchemeNone;
}

std::wstring ComposeDialogUser(const std::wstring& domain, const std::wstring& parsedUser,
                               const std::wstring& target)
{
    std::wstring user;
    // A name without a domain part (user@realm, for instance) gets no prefix either: a lone
    // backslash in front of it would only make the proxy refuse the name.
    if (!domain.empty() && !EqualsIgnoreCase(domain, target)) user = domain + L"\\";
    return user + parsedUser;
}

}  // namespace ProxyManager
}  // namespace VELT
