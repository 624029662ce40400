#include <windows.h>
#include <wincred.h>

#include "proxymanager/credential_store.h"
#include "proxymanager/diagnostics.h"
#include "proxymanager/secret_wipe.h"

namespace VELT {
namespace ProxyManager {

bool StoreCredentials(const std::wstring& target, const std::wstring& user, const std::wstring& password)
{
    DebugLog(LOG_INFO, L"Performing 'StoreCredentials' for proxy server:%s with user:%s",
             target.c_str(), user.c_str());
    if (target.empty() || user.empty()) return false;

    CREDENTIALW credential = {};
    credential.Flags = 0;
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<LPWSTR>(target.c_str());
    credential.CredentialBlobSize = static_cast<DWORD>(password.size() * sizeof(wchar_t));
    credential.CredentialBlob =
        reinterpret_cast<LPBYTE>(const_cast<wchar_t*>(password.empty() ? nullptr : password.data()));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = const_cast<LPWSTR>(user.c_str());

    if (::CredWriteW(&credential, 0)) {
        DebugLog(LOG_INFO, L"Successfully stored credential.");
        return true;
    }
    DebugLog(LOG_ERROR, L"Failed to store credential !!!");
    return false;
}

namespace {

// The store hands out its own copy of the password: wiped before it goes back.
void ReleaseCredential(PCREDENTIALW credential)
{
    if (credential->CredentialBlob != nullptr) WipeBytes(credential->CredentialBlob, credential->CredentialBlobSize);
    ::CredFree(credential);
}

}  // namespace

bool LoadCredentials(const std::wstring& target, std::wstring& user, std::wstring& password)
{
    DebugLog(LOG_INFO, L"Performing 'LoadCredentials' for proxy server:%s with user:%s",
             target.c_str(), user.c_str());
    if (target.empty()) return false;

    PCREDENTIALW credential = nullptr;
    if (!::CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential) || credential == nullptr) {
        DebugLog(LOG_DEBUG, L"No credential found.");
        return false;
    }
    // Another program may have written a generic credential of the same name without a user;
    // such an entry cannot answer a proxy challenge, so it counts as not found and the probe
    // goes on to the dialog instead of sending an empty name.
    if (credential->UserName == nullptr || credential->UserName[0] == L'\0') {
        ReleaseCredential(credential);
        DebugLog(LOG_DEBUG, L"No credential found.");
        return false;
    }
    DebugLog(LOG_INFO, L"Successfully loaded credential.");
    user = credential->UserName;
    const wchar_t* blob = reinterpret_cast<const wchar_t*>(credential->CredentialBlob);
    AssignSecret(password, blob != nullptr ? blob : L"", blob != nullptr ? credential->CredentialBlobSize / 2 : 0);
    ReleaseCredential(credential);
    return true;
}

}  // namespace ProxyManager
}  // namespace VELT
