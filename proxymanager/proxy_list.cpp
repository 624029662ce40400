#include "proxymanager/proxy_list.h"

#include <regex>
#include <sstream>

#include "proxymanager/diagnostics.h"
#include "proxymanager/text_convert.h"

namespace VELT {
namespace ProxyManager {

namespace {

const std::wregex& targetUrlExpression()
{
    static const std::wregex re(L"(http|https|ftp|socks)(://)(.*)",
                                std::regex_constants::ECMAScript | std::regex_constants::icase);
    return re;
}

const std::wregex& taggedListExpression()
{
    static const std::wregex re(L"(http|https|ftp|socks)(=|://)(.*)",
                                std::regex_constants::ECMAScript | std::regex_constants::icase);
    return re;
}

}  // namespace

bool GetServerTypeStrAndDefaultPort(const std::wstring& url, std::wstring& serverType,
                                    std::string& defaultPort)
{
    DebugLog(LOG_DEBUG, L"Performing 'GetServerTypeStrAndDefaultPort' ...");
    serverType = L"https";
    defaultPort = "443";
    // Only the scheme at the front decides; matching a bounded head keeps an absurdly long URL
    // from exhausting the stack in the regular expression engine.
    const std::wstring head = url.size() > kMaxProxyListChars ? url.substr(0, kMaxProxyListChars) : url;
    std::wsmatch match;
    if (!std::regex_match(head, match, targetUrlExpression())) return true;
    const std::wstring scheme = match[1].str();
    if (EqualsIgnoreCase(scheme, L"http")) {
        serverType = L"http";
        defaultPort = "80";
    } else if (EqualsIgnoreCase(scheme, L"ftp")) {
        serverType = L"ftp";
        defaultPort = "21";
    } else if (EqualsIgnoreCase(scheme, L"socks")) {
        serverType = L"socks";
        defaultPort = "1080";
    }
    return true;
}

bool ExtractServerData(const std::wstring& serverType, std::wstring& proxyList)
{
    DebugLog(LOG_DEBUG, L"Performing 'ExtractServerData' ...");
    DebugLog(LOG_DEBUG, L"Proxy server information is: %s", proxyList.c_str());

    if (proxyList.size() > kMaxProxyListChars) {
        DebugLog(LOG_ERROR, L"Proxy server info is longer than %u characters!",
                 static_cast<unsigned>(kMaxProxyListChars));
        return false;
    }

    const std::wregex& tagged = taggedListExpression();
    // A list that does not start with a scheme word applies to every scheme.
    if (!std::regex_match(proxyList, tagged)) return true;

    for (;;) {
        std::wsmatch match;
        if (!std::regex_search(proxyList, match, tagged)) {
            if (proxyList.empty()) {
                DebugLog(LOG_ERROR,
                         L"Failed to detect correct proxy server info of format like 'https://' or 'https='");
            }
            return false;
        }
        const std::wstring scheme = match[1].str();
        proxyList = match[3].str();
        if (EqualsIgnoreCase(scheme, serverType)) {
            // Cut the remainder at the next tagged entry.
            proxyList = std::regex_replace(proxyList, tagged, L"");
            return true;
        }
    }
}

bool ParseServerAndPortInfo(const std::string& defaultPort, const std::wstring& proxyList,
                            std::vector<ProxyCandidate>& candidates)
{
    DebugLog(LOG_DEBUG, L"Performing 'ParseServerAndPortInfo' ...");
    std::vector<std::wstring> entries;
    if (!SplitByDelimiter(proxyList, L';', entries)) {
        DebugLog(LOG_ERROR,
                 L"Failed while splitting proxy server collection: '%s' into vector of proxy server",
                 proxyList.c_str());
        return false;
    }
    for (const std::wstring& entry : entries) {
        std::vector<std::wstring> parts;
        if (!SplitByDelimiter(entry, L':', parts)) {
            DebugLog(LOG_DEBUG, L"Failed while splitting proxy: '%s' into proxy server and port",
                     entry.c_str());
            continue;
        }
        if (parts.size() == 1) {
            candidates.push_back({ToUtf8(parts[0]), defaultPort});
        } else if (parts.size() == 2) {
            candidates.push_back({ToUtf8(parts[0]), ToUtf8(parts[1])});
        } else {
            // More than one colon: an IPv6 address, bracketed when it carries a port.
            const std::size_t lastBracket = entry.rfind(L']');
            const std::size_t lastColon = entry.rfind(L':');
            if (lastBracket == std::wstring::npos || lastBracket > lastColon) {
                candidates.push_back({ToUtf8(entry), defaultPort});
            } else {
                candidates.push_back({ToUtf8(entry.substr(0, lastColon)), ToUtf8(parts.back())});
            }
        }
    }
    return true;
}

bool SplitByDelimiter(const std::wstring& text, wchar_t delimiter, std::vector<std::wstring>& parts)
{
    if (text.empty() || delimiter == L'\0') return false;
    std::wistringstream stream(text);
    std::wstring piece;
    while (std::getline(stream, piece, delimiter)) parts.push_back(piece);
    return true;
}

bool FetchServerInfoForUrl(const std::string& url, std::wstring proxyList,
                           std::vector<ProxyCandidate>& candidates)
{
    DebugLog(LOG_DEBUG, L"Performing 'FetchServerInfo' ...");
    if (proxyList.empty()) {
        DebugLog(LOG_ERROR, L"Proxy server info is empty!");
        return false;
    }
    std::wstring serverType;
    std::string defaultPort;
    GetServerTypeStrAndDefaultPort(ToWide(url), serverType, defaultPort);
    if (!ExtractServerData(serverType, proxyList)) return false;
    return ParseServerAndPortInfo(defaultPort, proxyList, candidates);
}

}  // namespace ProxyManager
}  // namespace VELT
