#include "flow/update_manifest.h"

#include <windows.h>

#include <tinyxml2.h>

#include <cstdio>

#include "app/text_convert.h"
#include "flow/manifest_reader.h"
#include "net/download_driver.h"

namespace velt {

namespace {

constexpr wchar_t kManifestFile[] = L"update.xml";
constexpr wchar_t kManifestPath[] = L".\\update.xml";

// Opens ".\update.xml", loads it and hands it to `reader`; "" when the file cannot be opened.
// The file is closed before the reader runs.
template <typename Reader>
std::string readManifest(Reader reader)
{
    std::FILE* file = nullptr;
    if (::_wfopen_s(&file, kManifestPath, L"rb") != 0 || !file) return {};
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    loadManifest(doc, file);
    std::fclose(file);
    return reader(doc);
}

}  // namespace

void fetchUpdateManifest(const Json::Value& metadata)
{
    // The flow has made sure the member is a string; anything else gives an empty URL, which
    // the download refuses with its own error.
    const Json::Value& member = metadata.isObject() ? metadata["updateXmlUrl"] : Json::Value::nullSingleton();
    const std::wstring url = member.isString() ? acpToWide(member.asCString()) : std::wstring();
    downloadFile(url, kManifestFile, nullptr);
}

std::string getManifestVersion()
{
    return readManifest([](const tinyxml2::XMLDocument& doc) { return manifestVersion(doc); });
}

std::string getInstallerUrlForPlatform(const std::string& platform)
{
    return readManifest([&](const tinyxml2::XMLDocument& doc) { return manifestInstallerUrl(doc, platform); });
}

std::string getInstallerUrl() { return getInstallerUrlForPlatform("windows"); }

}  // namespace velt
