#include "win_test_support.h"

#include <json/json.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace velt::test {

std::wstring utf8ToWide(const std::string& s)
{
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), w.data(), n);
    return w;
}

std::string readFileBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::wstring sourcePath(const std::string& relative)
{
    std::wstring p = L"Z:" + utf8ToWide(std::string(VELT_SOURCE_DIR) + "/" + relative);
    for (auto& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

std::wstring binFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s = path;
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

std::wstring makeTempFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::map<int, std::map<int, std::wstring>> expectedStatusStrings()
{
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(readFileBytes(sourcePath("tests/status_strings.json")), root))
        throw std::runtime_error("tests/status_strings.json unreadable");
    std::map<int, std::map<int, std::wstring>> out;
    for (const auto& lang : root.getMemberNames())
        for (const auto& id : root[lang].getMemberNames())
            out[std::stoi(lang)][std::stoi(id)] = utf8ToWide(root[lang][id].asString());
    return out;
}

void pumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace velt::test
