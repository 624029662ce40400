// Owners for the handles of the download and trust units, on the one handle template.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include "common/unique_handle.h"

namespace velt {

namespace detail {
inline void closeInternet(HINTERNET h) { ::WinHttpCloseHandle(h); }
inline void closeCertStore(HCERTSTORE h) { ::CertCloseStore(h, 0); }
inline void closeCryptMsg(HCRYPTMSG h) { ::CryptMsgClose(h); }
inline void freeCertContext(PCCERT_CONTEXT c) { ::CertFreeCertificateContext(c); }
}  // namespace detail

using InternetHandle = UniqueHandle<NullHandleTraits<HINTERNET, detail::closeInternet>>;
using CertStoreHandle = UniqueHandle<NullHandleTraits<HCERTSTORE, detail::closeCertStore>>;
using CryptMsgHandle = UniqueHandle<NullHandleTraits<HCRYPTMSG, detail::closeCryptMsg>>;
using CertContextHandle = UniqueHandle<NullHandleTraits<PCCERT_CONTEXT, detail::freeCertContext>>;

}  // namespace velt
