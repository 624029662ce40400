#include "flow/metadata_check.h"

namespace velt {

// The one reader configuration: JsonCpp's default features, comments collected.
bool readMetadataDocument(const std::string& document, Json::Value& root, std::string* error)
{
    Json::Reader reader;
    if (reader.parse(document, root, true)) return true;
    if (error) {
        *error = reader.getFormattedErrorMessages();
        while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
    }
    return false;
}

bool parseMetadataDocument(const std::string& document, Json::Value& root)
{
    if (!readMetadataDocument(document, root, nullptr)) return false;
    // Everything after this point needs the manifest URL: a document that is not an object, or
    // whose "updateXmlUrl" is missing or not a string, is as unusable as one that is not JSON.
    return root.isObject() && root["updateXmlUrl"].isString();
}

}  // namespace velt
