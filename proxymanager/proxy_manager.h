// Public interface of the proxy manager: for a URL that is about to be downloaded, find the
// proxy the user's Windows settings would use, check whether it demands authentication and
// obtain credentials it accepts. The downloader calls veltGetProxyInfo once per session and
// hands the result back with veltReleaseProxyInfo, whatever the status.
#pragma once

#include <cstdint>

namespace VELT {
namespace ProxyManager {

// Status of one veltGetProxyInfo call. The value 3 is never produced.
typedef std::int32_t PMStatus;

constexpr PMStatus PM_STATUS_SUCCESS = 0;            // a usable proxy was found; the result is filled
constexpr PMStatus PM_STATUS_NO_PROXY = 1;           // nothing configured: connect directly
constexpr PMStatus PM_STATUS_FAILURE = 2;            // API failure, unusable proxy list, or failed probe
constexpr PMStatus PM_STATUS_INVALID_INPUT = 4;      // null record, null/empty url, empty url or proxy name in the probe
constexpr PMStatus PM_STATUS_USER_CANCELLED = 5;     // the user cancelled the credential dialog
constexpr PMStatus PM_STATUS_SILENT_MODE_ERROR = 6;  // credentials needed, none work, and prompting is forbidden

// Input record, owned by the caller and only read here. Strings are NUL-terminated UTF-8.
// The caller zeroes the record before filling it.
struct UserData {
    const char* url;       // required; null or "" gives PM_STATUS_INVALID_INPUT
    const char* user;      // optional proxy user, may be "domain\\user"
    const char* password;  // optional matching password
    bool silentMode;       // true: never show the credential dialog
};

// Output record. Filled only on PM_STATUS_SUCCESS; every string is a separate malloc'ed copy
// that veltReleaseProxyInfo frees. On any other status all fields are null / 0.
struct ProxyResult {
    char* user;               // accepted user name, "" when no credentials were needed
    char* password;           // matching password, "" when none
    char* server;             // proxy host name or address
    char* serverPort;         // proxy port as decimal text
    std::uint32_t authScheme; // 0 none, 1 Basic, 2 Digest, 4 NTLM or Negotiate
};

static_assert(sizeof(bool) == 1, "UserData.silentMode is a one-byte boolean");

// Finds the proxy and credentials for in->url. A null in or out gives PM_STATUS_INVALID_INPUT.
// Invalid UTF-8 in the input raises std::range_error("bad conversion").
PMStatus veltGetProxyInfo(const UserData* in, ProxyResult* out);

// Frees the strings of a result and resets it. Null, reset or already released records are fine.
void veltReleaseProxyInfo(ProxyResult* out);

}  // namespace ProxyManager
}  // namespace VELT
