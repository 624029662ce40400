#include "flow/update_manifest.h"

#include <windows.h>

#include "app/text_convert.h"
#include "net/download_driver.h"

namespace velt {

namespace {

constexpr wchar_t kManifestFile[] = L"update.xml";

}  // namespace

std::string fetchUpdateManifest(const Json::Value& metadata)
{
    // The flow has made sure the member is a string; anything else gives an empty URL, which
    // the download refuses with its own error.
    const Json::Value& member = metadata.isObject() ? metadata["updateXmlUrl"] : Json::Value::nullSingleton();
    const std::wstring url = member.isString() ? acpToWide(member.asCString()) : std::wstring();
    // The file stays next to the stub as before, but it is never read back: anyone could have
    // rewritten it since.
    return downloadFileKeepingBytes(url, kManifestFile);
}

}  // namespace velt
