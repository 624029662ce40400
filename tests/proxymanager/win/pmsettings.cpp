// Test helper that sets up what the proxy manager reads, through the platform's own calls:
//
//   pmsettings.exe ie FLAGS PROXY BYPASS PACURL   user's Internet settings ("-" = empty)
//   pmsettings.exe ie-clear                       remove them (Wine then reports auto-detect on)
//   pmsettings.exe winhttp-default PROXY|-        machine default WinHTTP proxy (- = none)
//   pmsettings.exe cred-write TARGET USER|- PASSWORD
//   pmsettings.exe cred-read TARGET OUTFILE       {"found":..,"user":..,"password":..}
//   pmsettings.exe cred-delete TARGET
//
// Arguments are ASCII; the exit code is 0 on success.
#include <windows.h>
#include <wincred.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

std::string narrow(const wchar_t* text)
{
    std::string out;
    for (; *text; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

void appendDword(std::vector<BYTE>& blob, DWORD value)
{
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void appendCounted(std::vector<BYTE>& blob, const wchar_t* text)
{
    const std::string s = std::wcscmp(text, L"-") == 0 ? std::string() : narrow(text);
    appendDword(blob, static_cast<DWORD>(s.size()));
    blob.insert(blob.end(), s.begin(), s.end());
}

int writeIeSettings(wchar_t** argv)
{
    // DWORD 0x46, DWORD counter, DWORD flags (1 direct, 2 proxy, 4 PAC URL, 8 auto-detect), then
    // the counted proxy list, bypass list and PAC URL.
    std::vector<BYTE> blob;
    appendDword(blob, 0x46);
    appendDword(blob, 1);
    appendDword(blob, static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 0)));
    appendCounted(blob, argv[3]);
    appendCounted(blob, argv[4]);
    appendCounted(blob, argv[5]);
    blob.insert(blob.end(), 32, 0);
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return 2;
    const LONG rc = ::RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY, blob.data(),
                                     static_cast<DWORD>(blob.size()));
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : 2;
}

int clearIeSettings()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_SET_VALUE, &key)) return 0;
    ::RegDeleteValueW(key, L"DefaultConnectionSettings");
    ::RegCloseKey(key);
    return 0;
}

int writeWinHttpDefault(const wchar_t* proxy)
{
    WINHTTP_PROXY_INFO info = {};
    if (std::wcscmp(proxy, L"-") == 0) {
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    } else {
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = const_cast<wchar_t*>(proxy);
    }
    return ::WinHttpSetDefaultProxyConfiguration(&info) ? 0 : 2;
}

int writeCredential(const wchar_t* target, const wchar_t* user, const wchar_t* password)
{
    CREDENTIALW credential = {};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t*>(target);
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = std::wcscmp(user, L"-") == 0 ? nullptr : const_cast<wchar_t*>(user);
    credential.CredentialBlobSize = static_cast<DWORD>(std::wcslen(password) * sizeof(wchar_t));
    credential.CredentialBlob = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password));
    return ::CredWriteW(&credential, 0) ? 0 : 2;
}

int readCredential(const wchar_t* target, const wchar_t* outFile)
{
    PCREDENTIALW credential = nullptr;
    FILE* out = _wfopen(outFile, L"wb");
    if (out == nullptr) return 2;
    if (!::CredReadW(target, CRED_TYPE_GENERIC, 0, &credential)) {
        std::fprintf(out, "{\"found\":false}\n");
    } else {
        // Both texts as \u escapes, so the JSON is right whatever characters they hold.
        auto escaped = [](const wchar_t* s, size_t n) {
            std::string o;
            char buf[8];
            for (size_t i = 0; i < n; ++i) {
                std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(s[i]));
                o += buf;
            }
            return o;
        };
        const wchar_t* user = credential->UserName ? credential->UserName : L"";
        std::fprintf(out, "{\"found\":true,\"user\":\"%s\",\"password\":\"%s\"}\n",
                     escaped(user, std::wcslen(user)).c_str(),
                     escaped(reinterpret_cast<const wchar_t*>(credential->CredentialBlob),
                             credential->CredentialBlobSize / 2).c_str());
        ::CredFree(credential);
    }
    std::fclose(out);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"ie" && argc == 6) return writeIeSettings(argv);
    if (command == L"ie-clear" && argc == 2) return clearIeSettings();
    if (command == L"winhttp-default" && argc == 3) return writeWinHttpDefault(argv[2]);
    if (command == L"cred-write" && argc == 5) return writeCredential(argv[2], argv[3], argv[4]);
    if (command == L"cred-read" && argc == 4) return readCredential(argv[2], argv[3]);
    if (command == L"cred-delete" && argc == 3) return ::CredDeleteW(argv[2], CRED_TYPE_GENERIC, 0) ? 0 : 1;
    std::fprintf(stderr, "pmsettings: bad arguments\n");
    return 64;
}
