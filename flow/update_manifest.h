// The update manifest "update.xml": fetched once per run into the current folder, then read
// from there as often as a step needs it.
#pragma once

#include <json/value.h>

#include <string>

namespace velt {

// Downloads the manifest named by the metadata's "updateXmlUrl" to "update.xml" in the current
// folder, without progress. Failures leave as the download's coded errors (7, 8).
void fetchUpdateManifest(const Json::Value& metadata);

// The announced version, "" when the manifest cannot be read or has none.
std::string getManifestVersion();

// The installer URL for a platform name, "" when the manifest lacks it.
std::string getInstallerUrlForPlatform(const std::string& platform);

// The installer URL for "windows"; reads the local file anew on each call.
std::string getInstallerUrl();

}  // namespace velt
