// Taking apart a proxy list in the syntax of the Windows proxy settings: either plain entries
// "host:port;host:port" that apply to every scheme, or tagged entries "http=host:port;https=..."
// (also "https://host:port"), of which only the part for the target's scheme applies.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "proxymanager/proxy_manager_impl.h"

namespace VELT {
namespace ProxyManager {

// Server type and default port for the target URL's scheme ("https"/"443" when unknown).
bool GetServerTypeStrAndDefaultPort(const std::wstring& url, std::wstring& serverType,
                                    std::string& defaultPort);

// Narrows proxyList in place to the part tagged with serverType. A plain list stays as it is.
// False when the list is tagged but has no part for serverType. Linear in the list's length.
bool ExtractServerData(const std::wstring& serverType, std::wstring& proxyList);

// Appends one candidate per non-empty entry. False only when the list is empty.
bool ParseServerAndPortInfo(const std::string& defaultPort, const std::wstring& proxyList,
                            std::vector<ProxyCandidate>& candidates);

// Appends the pieces of text between delimiters. False (nothing appended) for an empty text or
// a NUL delimiter. A delimiter at the very end yields no empty last piece.
bool SplitByDelimiter(const std::wstring& text, wchar_t delimiter, std::vector<std::wstring>& parts);

// The whole chain for one target URL (UTF-8): type and port, extraction, parsing.
bool FetchServerInfoForUrl(const std::string& url, std::wstring proxyList,
                           std::vector<ProxyCandidate>& candidates);

}  // namespace ProxyManager
}  // namespace VELT
