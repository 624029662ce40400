#include "tools/release_checks.h"

#include <json/json.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "flow/update_trust.h"

namespace velt {

namespace {

// What is wrong with one key text that has passed the base64 shape check, or "".
std::string checkKey(const std::string& text)
{
    std::vector<unsigned char> der(text.size() / 4 * 3);
    const int decoded = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded < 0) return "its base64 text does not decode";
    std::size_t size = static_cast<std::size_t>(decoded);
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;  // padding decodes as zeros

    const unsigned char* p = der.data();
    std::unique_ptr<X509_PUBKEY, decltype(&X509_PUBKEY_free)> spki(d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(size)),
                                                                 X509_PUBKEY_free);
    if (!spki) return "it is not a DER SubjectPublicKeyInfo";
    if (p != der.data() + size) return "bytes follow the DER SubjectPublicKeyInfo";
    ASN1_OBJECT* algorithm = nullptr;
    const unsigned char* point = nullptr;
    int pointSize = 0;
    X509_ALGOR* algor = nullptr;
    X509_PUBKEY_get0_param(&algorithm, &point, &pointSize, &algor, spki.get());
    if (OBJ_obj2nid(algorithm) != NID_X9_62_id_ecPublicKey) return "it is not an EC public key";
    const ASN1_OBJECT* curve = nullptr;
    int parameterType = 0;
    const void* parameter = nullptr;
    X509_ALGOR_get0(nullptr, &parameterType, &parameter, algor);
    if (parameterType != V_ASN1_OBJECT) return "its curve is not named";
    curve = static_cast<const ASN1_OBJECT*>(parameter);
    if (OBJ_obj2nid(curve) != NID_X9_62_prime256v1) {
        const char* name = OBJ_nid2sn(OBJ_obj2nid(curve));
        return std::string("its curve is ") + (name ? name : "unknown") + ", not P-256 (prime256v1)";
    }
    if (pointSize != 65 || point[0] != 0x04) return "its point is not written uncompressed";
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(X509_PUBKEY_get(spki.get()), EVP_PKEY_free);
    if (!key) return "its point is not on the curve";
    return {};
}

}  // namespace

std::string checkUpdateKeys(const std::string& metadataJson)
{
    Json::Value root;
    if (!Json::Reader().parse(metadataJson, root, true)) return {};
    std::vector<std::string> keys;
    std::size_t index = 0;
    const UpdateKeysProblem problem = readUpdateXmlKeys(root, keys, index);
    const std::string entry = " (entry " + std::to_string(index + 1) + ")";
    if (problem == UpdateKeysProblem::NotString || problem == UpdateKeysProblem::NotBase64)
        return std::string("\"updateXmlKeys\" ") + describeUpdateKeysProblem(problem) + entry;
    if (problem != UpdateKeysProblem::None)
        return std::string("\"updateXmlKeys\" ") + describeUpdateKeysProblem(problem);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string wrong = checkKey(keys[i]);
        if (!wrong.empty())
            return "\"updateXmlKeys\" entry " + std::to_string(i + 1) + " is not an ECDSA P-256 public key: " + wrong;
    }
    return {};
}

void hashFile(const std::string& path, std::string& sha256Hex, std::uint64_t& size)
{
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr)) throw std::runtime_error("SHA-256 is not available");
    std::vector<unsigned char> buffer(1 << 20);
    size = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0 && !EVP_DigestUpdate(ctx.get(), buffer.data(), got)) throw std::runtime_error("SHA-256 failed");
        size += got;
        if (got < buffer.size()) break;
    }
    if (std::ferror(file.get())) throw std::runtime_error("cannot read " + path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (!EVP_DigestFinal_ex(ctx.get(), digest, &digestSize)) throw std::runtime_error("SHA-256 failed");
    static const char kHex[] = "0123456789abcdef";
    sha256Hex.clear();
    for (unsigned int i = 0; i < digestSize; ++i) {
        sha256Hex += kHex[digest[i] >> 4];
        sha256Hex += kHex[digest[i] & 15];
    }
}

}  // namespace velt
