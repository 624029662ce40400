#include "flow/manifest_reader.h"

#include "flow/update_trust.h"

#include <tinyxml2.h>

namespace velt {

namespace {

using tinyxml2::XMLElement;

const char* childText(const XMLElement* parent, const char* name)
{
    const XMLElement* child = parent ? parent->FirstChildElement(name) : nullptr;
    return child ? child->GetText() : nullptr;
}

}  // namespace

void loadManifest(tinyxml2::XMLDocument& doc, const std::string& bytes)
{
    doc.Parse(bytes.data(), bytes.size());
}

std::string manifestVersion(const tinyxml2::XMLDocument& doc)
{
    const char* text = childText(doc.FirstChildElement("installerInformation"), "version");
    return text ? text : "";
}

namespace {

// The first platformFileList entry for `platform` that has a file name text, with that text;
// null when there is none.
const XMLElement* platformEntry(const XMLElement* info, const std::string& platform, const char** fileName)
{
    const XMLElement* files = info ? info->FirstChildElement("platformFileList") : nullptr;
    for (const XMLElement* entry = files ? files->FirstChildElement() : nullptr; entry;
         entry = entry->NextSiblingElement()) {
        const char* name = childText(entry, "platform");
        // Case-sensitive and exact: "Windows" is another platform.
        if (!name || platform != name) continue;
        if (const char* file = childText(entry, "filename")) {
            *fileName = file;
            return entry;
        }
    }
    return nullptr;
}

}  // namespace

std::string manifestInstallerUrl(const tinyxml2::XMLDocument& doc, const std::string& platform)
{
    const XMLElement* info = doc.FirstChildElement("installerInformation");
    if (!info) return {};
    const XMLElement* list = info->FirstChildElement("downloadLocationList");
    const XMLElement* location = list ? list->FirstChildElement("downloadLocation") : nullptr;
    const char* url = childText(location, "url");
    if (!url) return {};

    if (!info->FirstChildElement("platformFileList")) return {};
    const char* fileName = "";
    platformEntry(info, platform, &fileName);
    return std::string(url) + fileName;
}

ManifestInfo parseManifest(const std::string& bytes)
{
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    loadManifest(doc, bytes);
    ManifestInfo info;
    info.version = manifestVersion(doc);
    info.installerUrl = manifestInstallerUrl(doc, "windows");

    const XMLElement* root = doc.FirstChildElement("installerInformation");
    const char* fileName = "";
    const XMLElement* entry = platformEntry(root, "windows", &fileName);
    info.pinValid = entry && parseSha256Hex(childText(entry, "sha256"), info.sha256) &&
                    parseInstallerSize(childText(entry, "size"), info.size);
    const XMLElement* expires = root ? root->FirstChildElement("expires") : nullptr;
    info.hasExpiry = expires != nullptr;
    info.expiryValid = expires && parseUtcTime(expires->GetText(), info.expires);
    return info;
}

}  // namespace velt
