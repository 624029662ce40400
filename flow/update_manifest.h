// The update manifest "update.xml": fetched once per run into the current folder, and read once,
// from the bytes this run received (the same bytes the file holds as written).
#pragma once

#include <json/value.h>

#include <string>

#include "flow/manifest_reader.h"

namespace velt {

// Downloads the manifest named by the metadata's "updateXmlUrl" to "update.xml" in the current
// folder, without progress, and returns the bytes received. Failures leave as the download's
// coded errors (7, 8).
std::string fetchUpdateManifest(const Json::Value& metadata);

}  // namespace velt
