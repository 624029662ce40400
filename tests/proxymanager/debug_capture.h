// Collects the proxy manager's diagnostic lines in memory for the duration of a test.
#pragma once

#include <string>
#include <vector>

#include "proxymanager/diagnostics.h"
#include "proxymanager/text_convert.h"

namespace pmtest {

inline std::vector<std::string>& capturedLines()
{
    static std::vector<std::string> lines;
    return lines;
}

inline void captureW(const wchar_t* line) { capturedLines().push_back(VELT::ProxyManager::ToUtf8(line)); }
inline void captureA(const char* line) { capturedLines().push_back(line); }

// Switches the output on into the capture; restores "off" when it goes out of scope.
class DebugCapture {
public:
    explicit DebugCapture(bool enabled = true)
    {
        capturedLines().clear();
        VELT::ProxyManager::ConfigureDebugOutput(enabled, &captureW, &captureA);
    }
    ~DebugCapture() { VELT::ProxyManager::ConfigureDebugOutput(false, nullptr, nullptr); }
    const std::vector<std::string>& lines() const { return capturedLines(); }
    std::vector<std::string> linesWithLevel(const std::string& level) const
    {
        std::vector<std::string> out;
        const std::string marker = "Veltrane   VeltProxyManager   " + level + "   ";
        for (const std::string& line : capturedLines()) {
            if (line.compare(0, marker.size(), marker) == 0) out.push_back(line.substr(marker.size()));
        }
        return out;
    }
};

}  // namespace pmtest
