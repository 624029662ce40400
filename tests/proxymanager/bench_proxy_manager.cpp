// Prints how long the proxy manager's pure work takes: a log call with the switch off (which
// must cost no more than a flag test), a log call with it on, and parsing of typical lists.
// A benchmark, not a test: it prints figures and asserts nothing.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "proxymanager/diagnostics.h"
#include "proxymanager/proxy_list.h"

using namespace VELT::ProxyManager;
using Clock = std::chrono::steady_clock;

namespace {

void discardW(const wchar_t*) {}
void discardA(const char*) {}

template <typename F>
double nanosecondsPerCall(int iterations, F&& f)
{
    const auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) f(i);
    const auto elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return elapsed / iterations;
}

}  // namespace

int main()
{
    ConfigureDebugOutput(false, &discardW, &discardA);
    const double off = nanosecondsPerCall(2000000, [](int i) { DebugLog(LOG_DEBUG, L"Received HTTP status:%lu", static_cast<unsigned long>(i)); });
    ConfigureDebugOutput(true, &discardW, &discardA);
    const double on = nanosecondsPerCall(200000, [](int i) { DebugLog(LOG_DEBUG, L"Received HTTP status:%lu", static_cast<unsigned long>(i)); });
    ConfigureDebugOutput(false, &discardW, &discardA);

    struct Case {
        const char* name;
        std::wstring list;
    } cases[] = {
        {"plain, one entry", L"proxy.example.com:8080"},
        {"tagged, four schemes", L"http=p1:80;https=p2:443;ftp=p3:21;socks=p4:1080"},
        {"plain, 50 entries", [] {
             std::wstring l;
             for (int i = 0; i < 50; ++i) l += L"proxy" + std::to_wstring(i) + L".example.com:" + std::to_wstring(3000 + i) + L";";
             return l;
         }()},
        {"tagged, 1M characters", L"https=" + std::wstring(1000000, L'a')},
        {"250,000 tags, 1M chars", [] {
             std::wstring l = L"http=";
             for (int i = 0; i < 250000; ++i) l += L"ftp=";
             return l + L"https=p:1";
         }()},
    };
    std::printf("DebugLog, switch off: %8.1f ns per call\n", off);
    std::printf("DebugLog, switch on:  %8.1f ns per call (formatting and line building)\n", on);
    for (const Case& c : cases) {
        std::size_t found = 0;
        const double ns = nanosecondsPerCall(c.list.size() > 100000 ? 5 : 2000, [&](int) {
            std::vector<ProxyCandidate> candidates;
            FetchServerInfoForUrl("https://example.com/", c.list, candidates);
            found = candidates.size();
        });
        std::printf("FetchServerInfo, %-26s %10.1f us per list (%zu candidates)\n", c.name, ns / 1000.0, found);
    }
    return 0;
}
