// The keys a delivery trusts for its update manifest, and the check of the manifest's
// signature. Everything goes through the platform: crypt32 decodes the base64 text, the DER
// public key and the DER signature; CNG imports the key and verifies. A signature is accepted
// when any one of the keys verifies it, so a maker can sign with a new key while stubs that
// still carry the old one are in use.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "net/sha256.h"

namespace velt {

namespace detail {
void destroyKey(void* key);
}

class ManifestKeys {
public:
    // Decodes each text (standard base64 of the DER SubjectPublicKeyInfo) and imports it; the
    // key must be an ECDSA key on the P-256 curve. False on the first one that is not, with its
    // position in `badIndex`; nothing is kept then.
    bool load(const std::vector<std::string>& base64Keys, std::size_t& badIndex);

    bool empty() const { return keys_.empty(); }

    // Whether `signature` (DER ECDSA-Sig-Value, as openssl writes it) over the SHA-256 `digest`
    // verifies under one of the keys; the position of that key in `which`.
    bool verifies(const Sha256Digest& digest, const std::string& signature, std::size_t& which) const;

private:
    using KeyHandle = UniqueHandle<NullHandleTraits<void*, detail::destroyKey>>;
    std::vector<KeyHandle> keys_;
};

}  // namespace velt
