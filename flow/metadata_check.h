// What a metadata document must be for the stub to use it. Shared by the stub's flow (which
// parses with exactly this reader configuration) and the packaging step (which refuses a
// document before it is stamped, so that no release fails for every user with code 3).
#pragma once

#include <json/json.h>

#include <string>

namespace velt {

// Reads a document with the one reader configuration (JsonCpp's Reader, comments collected);
// on failure `error`, when given, gets the reader's message.
bool readMetadataDocument(const std::string& document, Json::Value& root, std::string* error);

// The stub's own reading: JsonCpp's Reader with comments collected, and an object whose
// "updateXmlUrl" is a string. False when the flow cannot go on with the document.
bool parseMetadataDocument(const std::string& document, Json::Value& root);

// The packaging step's acceptance of the text to be stamped: no NUL byte, no metadata marker,
// readable by parseMetadataDocument, "updateXmlUrl" an absolute http or https URL,
// "kestrelLauncherArguments" a string, null or absent. The empty string when the document is
// acceptable, else what is wrong with it.
std::string checkMetadataDocument(const std::string& document);

// An absolute http or https URL with a host, as the download needs it: scheme (any case),
// "://", an authority with a non-empty host and an optional decimal port 1-65535, then
// anything but blanks and control characters.
bool isAbsoluteHttpUrl(const std::string& url);

}  // namespace velt
