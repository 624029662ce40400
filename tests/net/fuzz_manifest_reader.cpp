// Feeds arbitrary bytes to the manifest readers as the product loads them (from the downloaded bytes).
#include <tinyxml2.h>

#include <cstdint>
#include <string>

#include "flow/manifest_reader.h"
#include "flow/update_trust.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    velt::loadManifest(doc, bytes);
    const velt::ManifestInfo info = velt::parseManifest(bytes);
    // One reading gives what the separate readers give.
    if (info.version != velt::manifestVersion(doc) || info.installerUrl != velt::manifestInstallerUrl(doc, "windows"))
        __builtin_trap();
    // A pin or an expiry that was read stands for what its text says.
    if (info.pinValid && info.size == 0) __builtin_trap();
    if (info.expiryValid && !info.hasExpiry) __builtin_trap();
    std::int64_t seconds = 0;
    if (velt::parseUtcTime(bytes.c_str(), seconds) && (seconds < -62167219200 || seconds > 253402300799))
        __builtin_trap();
    return 0;
}
