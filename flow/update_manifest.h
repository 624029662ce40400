// The update manifest "update.xml": fetched once per run into the current folder, and read once,
// from the bytes this run received (the same bytes the file holds as written).
#pragma once

#include <json/value.h>

#include <string>

namespace velt {

class ManifestKeys;

// Downloads the manifest named by the metadata's "updateXmlUrl" to "update.xml" in the current
// folder, without progress, and returns the bytes received. Failures leave as the download's
// coded errors (7, 8).
//
// With update keys, the manifest's signature is downloaded right after it, the same way, from
// the manifest URL with ".sig" appended to its path, into "update.xml.sig"; the bytes are
// returned only when it verifies under one of the keys. A signature that cannot be downloaded
// fails like any download (7, 8); one that does not verify is 9.
std::string fetchUpdateManifest(const Json::Value& metadata, const ManifestKeys& keys);

}  // namespace velt
