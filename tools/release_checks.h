// What the release tools check with OpenSSL's libcrypto before they write anything the stub will
// read: the update keys of a metadata document, and the hash of an installer.
#pragma once

#include <cstdint>
#include <string>

namespace velt {

// "" when the metadata's "updateXmlKeys" is what the stub accepts (absent, null, or one to eight
// base64 DER public keys of ECDSA P-256 keys, each with the curve named and the point
// uncompressed); otherwise what is wrong, naming the entry. A document that is not JSON is left
// to the other checks ("").
std::string checkUpdateKeys(const std::string& metadataJson);

// SHA-256 (lower-case hex) and size of a file; throws std::runtime_error when it cannot be read.
void hashFile(const std::string& path, std::string& sha256Hex, std::uint64_t& size);

}  // namespace velt
