// The installer's Authenticode check: does Windows trust the file's embedded signature, and
// does the signer's certificate chain belong to the maker.
#pragma once

#include <windows.h>

#include <string>

#include "net/net_handles.h"

namespace velt {

class CSignatureVerifier {
public:
    // Keeps a reference: the caller keeps the path alive for the verifier's lifetime. With an
    // open `file`, the bytes behind that handle are what is verified (the path only names it).
    explicit CSignatureVerifier(const std::wstring& filePath, HANDLE file = nullptr)
        : filePath_(filePath), file_(file == INVALID_HANDLE_VALUE ? nullptr : file)
    {
    }

    // 0 when WinVerifyTrust trusts the file's signature, otherwise its status (2 without a
    // path). On success the certificate chain that the trust provider built for the signer is
    // kept for HasCertificateSubject.
    LONG VerifyTrust();

    // True when a certificate of the signer's chain (the signing certificate, its
    // intermediates, its root) has a subject containing `subject`. Certificates that merely
    // travel inside the signature count for nothing: anyone could add the maker's public
    // certificate there. Without a trusted signature there is no chain and the answer is false.
    bool HasCertificateSubject(const std::wstring& subject) const;

private:
    void keepSignerChain(HANDLE stateData);

    const std::wstring& filePath_;
    HANDLE file_;
    CertStoreHandle signerChain_;
};

}  // namespace velt
