#include "flow/manifest_reader.h"

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

ManifestInfo parseManifest(const std::string& bytes)
{
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    loadManifest(doc, bytes);
    ManifestInfo info;
    info.version = manifestVersion(doc);
    info.installerUrl = manifestInstallerUrl(doc, "windows");
    return info;
}

std::string manifestVersion(const tinyxml2::XMLDocument& doc)
{
    const char* text = childText(doc.FirstChildElement("installerInformation"), "version");
    return text ? text : "";
}

std::string manifestInstallerUrl(const tinyxml2::XMLDocument& doc, const std::string& platform)
{
    const XMLElement* info = doc.FirstChildElement("installerInformation");
    if (!info) return {};
    const XMLElement* list = info->FirstChildElement("downloadLocationList");
    const XMLElement* location = list ? list->FirstChildElement("downloadLocation") : nullptr;
    const char* url = childText(location, "url");
    if (!url) return {};

    const XMLElement* files = info->FirstChildElement("platformFileList");
    if (!files) return {};
    std::string fileName;
    for (const XMLElement* entry = files->FirstChildElement(); entry; entry = entry->NextSiblingElement()) {
        const char* name = childText(entry, "platform");
        // Case-sensitive and exact: "Windows" is another platform.
        if (!name || platform != name) continue;
        if (const char* file = childText(entry, "filename")) {
            fileName = file;
            break;
        }
    }
    return std::string(url) + fileName;
}

}  // namespace velt
