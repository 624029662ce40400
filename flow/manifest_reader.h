// Reading the update manifest ("update.xml"): the announced version and the installer's URL.
// Pure logic over tinyxml2, shared by the product (which opens ".\update.xml") and the native
// tests and fuzz target. Results are the document's own UTF-8 bytes, not converted; every
// missing element or text gives an empty string.
#pragma once

#include <cstdio>
#include <string>

namespace tinyxml2 {
class XMLDocument;
}

namespace velt {

// Loads a manifest document from an open file the way the product does: entities processed,
// whitespace preserved. The load result is not needed: a file that does not parse simply lacks
// the elements the readers ask for.
void loadManifest(tinyxml2::XMLDocument& doc, std::FILE* file);

// Text of installerInformation/version, or "".
std::string manifestVersion(const tinyxml2::XMLDocument& doc);

// installerInformation/downloadLocationList/downloadLocation/url (the first of each) joined
// directly with the filename of the first platformFileList entry whose platform text equals
// `platform` byte for byte. "" without url or without platformFileList; the url alone when no
// entry matches.
std::string manifestInstallerUrl(const tinyxml2::XMLDocument& doc, const std::string& platform);

}  // namespace velt
