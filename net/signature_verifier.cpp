#include "net/signature_verifier.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <utility>

#include "app/bootstrap_log.h"
#include "net/download_logic.h"

namespace velt {

namespace {

// WINTRUST_DATA as current Windows defines it, ending with pSignatureSettings (52 bytes in a
// 32-bit process). The toolchain's headers stop one field earlier.
struct WintrustDataWithSettings {
    WINTRUST_DATA data;
    void* pSignatureSettings;
};
static_assert(sizeof(void*) != 4 || sizeof(WintrustDataWithSettings) == 52,
              "WinVerifyTrust is handed the 52-byte record");
static_assert(offsetof(WintrustDataWithSettings, data) == 0, "the record starts with WINTRUST_DATA");

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

LONG CSignatureVerifier::VerifyTrust()
{
    signerChain_.reset();
    if (filePath_.empty()) return 2;

    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = filePath_.c_str();
    fileInfo.hFile = file_;
    fileInfo.pgKnownSubject = nullptr;

    WintrustDataWithSettings trust{};
    trust.data.cbStruct = sizeof(trust);
    trust.data.dwUIChoice = WTD_UI_NONE;
    trust.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.data.dwUnionChoice = WTD_CHOICE_FILE;
    trust.data.pFile = &fileInfo;
    trust.data.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.pSignatureSettings = nullptr;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &trust.data);
    if (result != 0) {
        const DWORD error = ::GetLastError();
        // The line names the file, not the folder it was downloaded to.
        const std::size_t slash = filePath_.find_last_of(L"\\/");
        const std::wstring fileName = slash == std::wstring::npos ? filePath_ : filePath_.substr(slash + 1);
        logInfo(L"The file \"%s\" is not properly signed. WinVerifyTrust() return value [%x], GetLastError() return "
                L"value [%x].\n",
                fileName.c_str(), static_cast<unsigned>(result), static_cast<unsigned>(error));
    } else {
        keepSignerChain(trust.data.hWVTStateData);
    }

    trust.data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &trust.data);
    return result;
}

void CSignatureVerifier::keepSignerChain(HANDLE stateData)
{
    // The chain lives in the verification state, which the close call frees: copy its
    // certificates into a store of our own first.
    CRYPT_PROVIDER_DATA* provider = stateData ? ::WTHelperProvDataFromStateData(stateData) : nullptr;
    CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (!signer) return;
    CertStoreHandle chain(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!chain) return;
    for (DWORD i = 0; signer->pasCertChain && i < signer->csCertChain; ++i) {
        const CRYPT_PROVIDER_CERT* element = &signer->pasCertChain[i];
        if (element->pCert)
            ::CertAddCertificateContextToStore(chain.get(), element->pCert, CERT_STORE_ADD_USE_EXISTING, nullptr);
    }
    signerChain_ = std::move(chain);
}

namespace {

// Whether one attribute value of the certificate's subject contains `subject`: the name is
// decoded into its attributes, and each value is looked at on its own, so that "L=Veltrane,
// O=Inc..." never reads as "Veltrane, Inc".
bool subjectAttributeContains(PCCERT_CONTEXT cert, const std::wstring& subject)
{
    CERT_NAME_INFO* name = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(kEncoding, X509_NAME, cert->pCertInfo->Subject.pbData, cert->pCertInfo->Subject.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &name, &size))
        return false;
    bool found = false;
    for (DWORD r = 0; !found && r < name->cRDN; ++r) {
        const CERT_RDN& rdn = name->rgRDN[r];
        for (DWORD a = 0; !found && a < rdn.cRDNAttr; ++a) {
            CERT_RDN_ATTR& attr = rdn.rgRDNAttr[a];
            const DWORD chars = ::CertRDNValueToStrW(attr.dwValueType, &attr.Value, nullptr, 0);
            if (chars <= 1) continue;
            std::wstring value(chars, L'\0');
            value.resize(::CertRDNValueToStrW(attr.dwValueType, &attr.Value, &value[0], chars) - 1);
            found = nameValueContains(value, subject);
        }
    }
    ::LocalFree(name);
    return found;
}

}  // namespace

bool CSignatureVerifier::HasCertificateSubject(const std::wstring& subject) const
{
    if (filePath_.empty() || !signerChain_) return false;
    // Every certificate of the signer's chain, one subject attribute at a time; a letter-case
    // insensitive substring of a single value.
    bool found = false;
    PCCERT_CONTEXT cert = nullptr;
    while (!found && (cert = ::CertEnumCertificatesInStore(signerChain_.get(), cert)) != nullptr)
        found = subjectAttributeContains(cert, subject);
    if (cert) ::CertFreeCertificateContext(cert);
    if (found) {
        logInfo(L"A certificate with a subject name [%s] has been found!\n", subject.c_str());
        return true;
    }
    logInfo(L"A certificate with a subject name [%s] can not be found!\n", subject.c_str());
    return false;
}

}  // namespace velt
