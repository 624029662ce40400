// How the probe answers the schemes a proxy offers, and what it reports back. WinHTTP flag
// values are repeated here so the mapping compiles without Windows headers.
#pragma once

#include <cstdint>
#include <string>

namespace VELT {
namespace ProxyManager {

constexpr std::uint32_t kSchemeBasic = 0x1;
constexpr std::uint32_t kSchemeNtlm = 0x2;
constexpr std::uint32_t kSchemePassport = 0x4;
constexpr std::uint32_t kSchemeDigest = 0x8;
constexpr std::uint32_t kSchemeNegotiate = 0x10;

// Result codes of ProxyResult.authScheme.
constexpr std::uint32_t kResultSchemeNone = 0;
constexpr std::uint32_t kResultSchemeBasic = 1;
constexpr std::uint32_t kResultSchemeDigest = 2;
constexpr std::uint32_t kResultSchemeNtlm = 4;

// The scheme handed to WinHttpSetCredentials. Negotiate is never requested: a proxy that
// offers it is answered with NTLM. 0 when nothing usable is offered.
std::uint32_t ChooseAuthScheme(const std::uint32_t& offeredSchemes);
// The code reported in ProxyResult.authScheme for the same offer.
std::uint32_t ToResultAuthScheme(const std::uint32_t& offeredSchemes);

// The user name taken from the credential dialog: a name the dialog qualified with the proxy's
// own host is used bare; any other domain is kept as "domain\user".
std::wstring ComposeDialogUser(const std::wstring& domain, const std::wstring& parsedUser,
                               const std::wstring& target);

}  // namespace ProxyManager
}  // namespace VELT
