#include "flow/update_manifest.h"

#include <windows.h>

#include "app/bootstrap_log.h"
#include "app/text_convert.h"
#include "flow/update_trust.h"
#include "flow/worker_flow.h"
#include "net/download_driver.h"
#include "net/manifest_signature.h"
#include "net/sha256.h"

namespace velt {

namespace {

constexpr wchar_t kManifestFile[] = L"update.xml";
constexpr wchar_t kSignatureFile[] = L"update.xml.sig";

// Whether the signature in `signature` covers exactly `manifest` under one of the keys.
bool signatureVerifies(const std::string& manifest, const std::string& signature, const ManifestKeys& keys)
{
    Sha256 hash;
    Sha256Digest digest{};
    std::size_t key = 0;
    if (!hash.add(manifest.data(), manifest.size()) || !hash.finish(digest) || !keys.verifies(digest, signature, key))
        return false;
    logInfo(L"The update manifest's signature verifies under update key %u.\n", static_cast<unsigned>(key + 1));
    return true;
}

}  // namespace

std::string fetchUpdateManifest(const Json::Value& metadata, const ManifestKeys& keys)
{
    // The flow has made sure the member is a string; anything else gives an empty URL, which
    // the download refuses with its own error.
    const Json::Value& member = metadata.isObject() ? metadata["updateXmlUrl"] : Json::Value::nullSingleton();
    const std::wstring url = member.isString() ? acpToWide(member.asCString()) : std::wstring();
    // The file stays next to the stub as before, but it is never read back: anyone could have
    // rewritten it since.
    std::string bytes = downloadFileKeepingBytes(url, kManifestFile);
    if (keys.empty()) return bytes;

    // Nothing of the manifest is used before its signature has verified.
    const std::string signature = downloadFileKeepingBytes(signatureUrlFor(url), kSignatureFile);
    if (!signatureVerifies(bytes, signature, keys)) {
        logError(L"The update manifest's signature does not verify under any of the stub's update keys.\n");
        failWithCode(kErrorInstallerNotTrusted);
    }
    return bytes;
}

}  // namespace velt
