// Reading the update manifest ("update.xml"): the announced version and the installer's URL.
// Pure logic over tinyxml2, shared by the product (which reads the bytes it downloaded, once)
// and the native tests and fuzz target. Results are the document's own UTF-8 bytes, not converted; every
// missing element or text gives an empty string.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tinyxml2 {
class XMLDocument;
}

namespace velt {

// Loads a manifest document from its bytes the way the product does: entities processed,
// whitespace preserved. The load result is not needed: bytes that do not parse simply lack the
// elements the readers ask for.
void loadManifest(tinyxml2::XMLDocument& doc, const std::string& bytes);

// Text of installerInformation/version, or "".
std::string manifestVersion(const tinyxml2::XMLDocument& doc);

// installerInformation/downloadLocationList/downloadLocation/url (the first of each) joined
// directly with the filename of the first platformFileList entry whose platform text equals
// `platform` byte for byte. "" without url or without platformFileList; the url alone when no
// entry matches.
std::string manifestInstallerUrl(const tinyxml2::XMLDocument& doc, const std::string& platform);

// What one run takes from its manifest, all from one reading of the same bytes.
struct ManifestInfo {
    std::string version;       // manifestVersion
    std::string installerUrl;  // manifestInstallerUrl for "windows"

    // The pin of the installer: <sha256> and <size> of the "windows" entry that gave the file
    // name, both well-formed, else pinValid false. Only a manifest whose signature verified is
    // held to it (signatureVerified, set by the flow after the check).
    bool pinValid = false;
    std::array<std::uint8_t, 32> sha256{};
    std::uint32_t size = 0;
    // installerInformation/expires: absent (no expiry), or present and then valid or not.
    bool hasExpiry = false;
    bool expiryValid = false;
    std::int64_t expires = 0;  // seconds since 1970, UTC
    bool signatureVerified = false;
};
ManifestInfo parseManifest(const std::string& bytes);

}  // namespace velt
