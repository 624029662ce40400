#include "net/signature_verifier.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <utility>

#include "app/bootstrap_log.h"

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
        logInfo(L"The file \"%s\" is not properly signed. WinVerifyTrust() return value [%x], GetLastError() return "
                L"value [%x].\n",
                filePath_.c_str(), static_cast<unsigned>(result), static_cast<unsigned>(error));
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

bool CSignatureVerifier::HasCertificateSubject(const std::wstring& subject) const
{
    if (filePath_.empty() || !signerChain_) return false;
    // The platform's subject-string search: a case-insensitive substring match on each
    // certificate's subject name.
    CertContextHandle found(::CertFindCertificateInStore(signerChain_.get(), kEncoding, 0, CERT_FIND_SUBJECT_STR_W,
                                                         subject.c_str(), nullptr));
    if (found) {
        logInfo(L"A certificate with a subject name [%s] has been found!\n", subject.c_str());
        return true;
    }
    logInfo(L"A certificate with a subject name [%s] can not be found!\n", subject.c_str());
    return false;
}

}  // namespace velt
