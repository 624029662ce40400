// Fuzzes the proxy-list parser: the list comes from the registry, a PAC script or WPAD, that is
// from outside. The first byte picks the target scheme; the rest is the list as UTF-8.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "proxymanager/proxy_list.h"
#include "proxymanager/text_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace VELT::ProxyManager;
    if (size == 0) return 0;
    static const char* const urls[] = {"http://a/", "https://a/", "ftp://a/", "socks://a", "x"};
    const std::string url = urls[data[0] % 5];
    std::wstring list;
    try {
        list = ToWide(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    } catch (const std::range_error&) {
        return 0;
    }
    std::vector<ProxyCandidate> candidates;
    const bool ok = FetchServerInfoForUrl(url, list, candidates);
    if (!ok && !candidates.empty()) __builtin_trap();  // a refused list adds nothing
    for (const ProxyCandidate& c : candidates) {
        // Every candidate converts back and carries no separator the list syntax gives meaning to.
        if (c.server.find(';') != std::string::npos) __builtin_trap();
        if (c.serverPort.find(';') != std::string::npos) __builtin_trap();
        ToWide(c.server);
        ToWide(c.serverPort);
    }
    return 0;
}
