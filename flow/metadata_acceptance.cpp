// The packaging step's acceptance of a metadata document (declared in flow/metadata_check.h).
// In an object of its own: the stub only parses its document, and the linker keeps every
// function of an object it links.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "flow/metadata_check.h"
#include "flow/metadata_layout.h"

namespace velt {

bool isAbsoluteHttpUrl(const std::string& url)
{
    size_t at = 0;
    auto startsWithScheme = [&](const char* scheme) {
        const size_t n = std::strlen(scheme);
        if (url.size() < n) return false;
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
        at = n;
        return true;
    };
    if (!startsWithScheme("http://") && !startsWithScheme("https://")) return false;
    for (const char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;

    const size_t authorityEnd = std::min(url.size(), url.find_first_of("/?#", at));
    std::string authority = url.substr(at, authorityEnd - at);
    if (const size_t userInfo = authority.rfind('@'); userInfo != std::string::npos) authority.erase(0, userInfo + 1);
    std::string host = authority, port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        host = authority.substr(0, close + 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return false;
            port = authority.substr(close + 2);
            if (port.empty()) return false;
        }
    } else if (const size_t colon = authority.find(':'); colon != std::string::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty()) return false;
    }
    if (host.empty() || host == "[]") return false;
    if (!port.empty()) {
        if (port.size() > 5) return false;
        unsigned long value = 0;
        for (const char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (value == 0 || value > 65535) return false;
    }
    return true;
}

std::string checkMetadataDocument(const std::string& document)
{
    if (document.empty()) return "the metadata text is empty";
    if (document.find('\0') != std::string::npos) return "the metadata text contains a NUL byte";
    // The marker is narrow ASCII in the file; the stub removes every copy before parsing, so a
    // document carrying one is not the document the stub reads.
    std::string marker;
    for (const wchar_t* p = kMetadataMarker; *p; ++p) marker += static_cast<char>(*p);
    if (document.find(marker) != std::string::npos) return "the metadata text contains the metadata marker " + marker;

    Json::Value parsed;
    std::string why;
    if (!readMetadataDocument(document, parsed, &why)) return "the metadata is not JSON: " + why;
    const Json::Value& root = parsed;
    if (!root.isObject()) return "the metadata is not a JSON object";
    if (!root.isMember("updateXmlUrl")) return "\"updateXmlUrl\" is missing";
    const Json::Value& url = root["updateXmlUrl"];
    if (!url.isString()) return "\"updateXmlUrl\" is not a string";
    if (!isAbsoluteHttpUrl(url.asString())) return "\"updateXmlUrl\" is not an absolute http or https URL: " + url.asString();
    const Json::Value& arguments = root["kestrelLauncherArguments"];
    if (!arguments.isNull() && !arguments.isString()) return "\"kestrelLauncherArguments\" is neither a string nor null";
    return {};
}

}  // namespace velt
