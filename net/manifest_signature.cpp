#include "net/manifest_signature.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>

namespace velt {

void detail::destroyKey(void* key) { ::BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key)); }

namespace {

constexpr std::size_t kCoordinateBytes = 32;  // P-256

// The curve parameter of the key's algorithm as DER: the object identifier 1.2.840.10045.3.1.7.
constexpr BYTE kP256Parameters[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

struct LocalMemory {
    ~LocalMemory()
    {
        if (p) ::LocalFree(p);
    }
    void* p = nullptr;
};

// Decodes one base64 text into DER bytes; the text has already passed the shape check.
bool base64ToBytes(const std::string& text, std::vector<BYTE>& out)
{
    DWORD size = 0;
    if (!::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size,
                                nullptr, nullptr) ||
        size == 0)
        return false;
    out.resize(size);
    if (!::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, out.data(), &size,
                                nullptr, nullptr))
        return false;
    out.resize(size);
    return true;
}

bool importP256Key(const std::string& text, BCRYPT_KEY_HANDLE& key)
{
    std::vector<BYTE> der;
    if (!base64ToBytes(text, der)) return false;
    LocalMemory decoded;
    DWORD decodedSize = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), static_cast<DWORD>(der.size()),
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded.p, &decodedSize))
        return false;
    auto* info = static_cast<CERT_PUBLIC_KEY_INFO*>(decoded.p);
    // An EC key names its curve in the parameters; only P-256 is taken (the signature's two
    // halves are 32 bytes each), with its point written uncompressed, as openssl writes it.
    if (!info->Algorithm.pszObjId || std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
        info->Algorithm.Parameters.cbData != sizeof(kP256Parameters) ||
        std::memcmp(info->Algorithm.Parameters.pbData, kP256Parameters, sizeof(kP256Parameters)) != 0 ||
        info->PublicKey.cbData != 1 + 2 * kCoordinateBytes || info->PublicKey.pbData[0] != 0x04)
        return false;
    return ::CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, nullptr, &key) && key;
}

// r and s as CNG wants them: big-endian, 32 bytes each, r then s. The decoder hands them over
// little-endian, without leading zeros.
bool signatureToCng(const std::string& der, BYTE (&out)[2 * kCoordinateBytes])
{
    LocalMemory decoded;
    DWORD decodedSize = 0;
    if (der.empty() ||
        !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ECC_SIGNATURE, reinterpret_cast<const BYTE*>(der.data()),
                               static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded.p,
                               &decodedSize))
        return false;
    const auto* sig = static_cast<const CERT_ECC_SIGNATURE*>(decoded.p);
    const CRYPT_UINT_BLOB* halves[] = {&sig->r, &sig->s};
    std::memset(out, 0, sizeof(out));
    for (int h = 0; h < 2; ++h) {
        DWORD size = halves[h]->cbData;
        const BYTE* little = halves[h]->pbData;
        // A positive DER integer may carry one zero byte above its top: not part of the value.
        while (size > kCoordinateBytes && little[size - 1] == 0) --size;
        if (size > kCoordinateBytes) return false;
        BYTE* big = out + h * kCoordinateBytes;
        for (DWORD i = 0; i < size; ++i) big[kCoordinateBytes - 1 - i] = little[i];
    }
    return true;
}

}  // namespace

bool ManifestKeys::load(const std::vector<std::string>& base64Keys, std::size_t& badIndex)
{
    keys_.clear();
    for (std::size_t i = 0; i < base64Keys.size(); ++i) {
        BCRYPT_KEY_HANDLE key = nullptr;
        if (!importP256Key(base64Keys[i], key)) {
            if (key) ::BCryptDestroyKey(key);
            keys_.clear();
            badIndex = i;
            return false;
        }
        keys_.emplace_back(key);
    }
    return true;
}

bool ManifestKeys::verifies(const Sha256Digest& digest, const std::string& signature, std::size_t& which) const
{
    BYTE cngSignature[2 * kCoordinateBytes];
    if (!signatureToCng(signature, cngSignature)) return false;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const NTSTATUS status =
            ::BCryptVerifySignature(static_cast<BCRYPT_KEY_HANDLE>(keys_[i].get()), nullptr,
                                    const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()), cngSignature,
                                    sizeof(cngSignature), 0);
        if (BCRYPT_SUCCESS(status)) {
            which = i;
            return true;
        }
    }
    return false;
}

}  // namespace velt
