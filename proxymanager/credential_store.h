// Proxy credentials in the Windows Credential Manager: one generic credential per proxy host
// (the port is not part of the name), persisted for this user on this machine.
#pragma once

#include <string>

namespace VELT {
namespace ProxyManager {

// False for an empty target or user (nothing is written then) and when the write fails.
bool StoreCredentials(const std::wstring& target, const std::wstring& user, const std::wstring& password);
// True when a usable credential exists; user and password are replaced only then.
bool LoadCredentials(const std::wstring& target, std::wstring& user, std::wstring& password);

}  // namespace ProxyManager
}  // namespace VELT
