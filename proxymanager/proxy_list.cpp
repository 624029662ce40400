#include "proxymanager/proxy_list.h"

#include "common/split_pieces.h"
#include "proxymanager/diagnostics.h"
#include "proxymanager/text_convert.h"

namespace VELT {
namespace ProxyManager {

namespace {

// The two expressions the list syntax is defined by, matched by hand: a scheme word in any
// letter case ("http", "https", "ftp", "socks", tried in that order), a separator, and the rest
// of the line. "Line" is meant as in ECMAScript regular expressions, whose "." stops at a line
// terminator. The target URL takes "://" as its separator; a tagged list also takes "=".
const wchar_t* const kSchemeWords[] = {L"http", L"https", L"ftp", L"socks"};

bool isLineTerminator(wchar_t c)
{
    return c == L'\n' || c == L'\r' || c == L'\u2028' || c == L'\u2029';
}

wchar_t asciiLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool startsWithAt(const std::wstring& text, std::size_t pos, const wchar_t* word, bool ignoreCase)
{
    for (; *word != L'\0'; ++word, ++pos) {
        if (pos >= text.size()) return false;
        const wchar_t c = ignoreCase ? asciiLower(text[pos]) : text[pos];
        if (c != *word) return false;
    }
    return true;
}

struct Tag {
    std::size_t wordLength = 0;  // the scheme word
    std::size_t length = 0;      // scheme word and separator
};

// A scheme word and its separator starting exactly at pos.
bool tagAt(const std::wstring& text, std::size_t pos, bool equalsSeparates, Tag& tag)
{
    for (const wchar_t* word : kSchemeWords) {
        if (!startsWithAt(text, pos, word, true)) continue;
        const std::size_t after = pos + std::char_traits<wchar_t>::length(word);
        std::size_t separator = 0;
        if (equalsSeparates && startsWithAt(text, after, L"=", false)) {
            separator = 1;
        } else if (startsWithAt(text, after, L"://", false)) {
            separator = 3;
        } else {
            continue;  // a longer word may still fit ("https" after "http")
        }
        tag.wordLength = after - pos;
        tag.length = tag.wordLength + separator;
        return true;
    }
    return false;
}

// The leftmost tag at or after from; npos when there is none.
std::size_t findTag(const std::wstring& text, std::size_t from, bool equalsSeparates, Tag& tag)
{
    for (std::size_t pos = from; pos < text.size(); ++pos) {
        if (tagAt(text, pos, equalsSeparates, tag)) return pos;
    }
    return std::wstring::npos;
}

std::size_t lineEnd(const std::wstring& text, std::size_t from)
{
    while (from < text.size() && !isLineTerminator(text[from])) ++from;
    return from;
}

}  // namespace

bool GetServerTypeStrAndDefaultPort(const std::wstring& url, std::wstring& serverType,
                                    std::string& defaultPort)
{
    DebugLog(LOG_DEBUG, L"Performing 'GetServerTypeStrAndDefaultPort' ...");
    serverType = L"https";
    defaultPort = "443";
    Tag tag;
    if (!tagAt(url, 0, false, tag) || lineEnd(url, tag.length) != url.size()) return true;
    const std::wstring scheme = url.substr(0, tag.wordLength);
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

    // A list that does not start with a scheme word applies to every scheme.
    Tag tag;
    if (!tagAt(proxyList, 0, true, tag) || lineEnd(proxyList, tag.length) != proxyList.size()) return true;

    // Each tag narrows the list to the rest of its line after it, until one names the wanted
    // scheme. The narrowing works on positions in the one text, so the walk never goes back and
    // never copies: its time grows with the list's length, not with its square. (A line end
    // cannot lie inside a tag, so a tag found in the whole text is one found in the narrowed one.)
    std::size_t start = 0;
    for (;;) {
        const std::size_t pos = findTag(proxyList, start, true, tag);
        // The narrowed list ends at the first line end after `start`: a tag beyond it is not in it.
        std::size_t end = start;
        while (end < proxyList.size() && end < pos && !isLineTerminator(proxyList[end])) ++end;
        if (pos == std::wstring::npos || end < pos) {
            if (end == start) {
                DebugLog(LOG_ERROR,
                         L"Failed to detect correct proxy server info of format like 'https://' or 'https='");
            }
            // Left narrowed, as far as the walk got.
            if (start != 0) proxyList = proxyList.substr(start, lineEnd(proxyList, start) - start);
            return false;
        }
        const std::wstring scheme = proxyList.substr(pos, tag.wordLength);
        start = pos + tag.length;
        if (EqualsIgnoreCase(scheme, serverType)) {
            // Cut the remainder at the next tagged entry: each tag is dropped with the rest of
            // its line, the text between them stays.
            end = lineEnd(proxyList, start);
            std::wstring kept;
            std::size_t cursor = start;
            for (std::size_t next; (next = findTag(proxyList, cursor, true, tag)) != std::wstring::npos && next < end;) {
                kept.append(proxyList, cursor, next - cursor);
                cursor = lineEnd(proxyList, next + tag.length);
            }
            if (cursor < end) kept.append(proxyList, cursor, end - cursor);
            proxyList = kept;
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
    velt::appendPieces(text, delimiter, parts);
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
