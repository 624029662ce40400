// The resources as they stand in the built VeltappBootstrap.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "win_test_support.h"

using namespace velt::test;

namespace {

class BuiltExe : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = binFolder() + L"VeltappBootstrap.exe";
        module_ = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load the built exe";
    }
    void TearDown() override
    {
        if (module_) FreeLibrary(module_);
    }
    std::vector<BYTE> resource(LPCWSTR type, LPCWSTR name, WORD lang)
    {
        HRSRC r = FindResourceExW(module_, type, name, lang);
        if (!r) return {};
        const auto* p = static_cast<const BYTE*>(LockResource(LoadResource(module_, r)));
        return std::vector<BYTE>(p, p + SizeofResource(module_, r));
    }
    std::wstring path_;
    HMODULE module_ = nullptr;
};

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR p)
{
    reinterpret_cast<std::set<int>*>(p)->insert(lang);
    return TRUE;
}

// A cursor over a dialog template's words.
struct Words {
    const BYTE* p;
    WORD word() { WORD w; memcpy(&w, p, 2); p += 2; return w; }
    DWORD dword() { DWORD d; memcpy(&d, p, 4); p += 4; return d; }
    std::wstring sz()
    {
        std::wstring s;
        for (WORD w; (w = word()) != 0;) s += static_cast<wchar_t>(w);
        return s;
    }
    // A name or ordinal field: 0xFFFF followed by an ordinal, or a string.
    std::wstring nameOrOrdinal()
    {
        WORD first;
        memcpy(&first, p, 2);
        if (first == 0xFFFF) {
            p += 2;
            return L"#" + std::to_wstring(word());
        }
        return sz();
    }
    void alignDword(const BYTE* base) { while ((p - base) % 4) ++p; }
};

}  // namespace

TEST_F(BuiltExe, StatusStringsInAllFifteenLanguages)
{
    const auto expected = expectedStatusStrings();
    std::set<int> languages;
    EnumResourceLanguagesW(module_, RT_STRING, MAKEINTRESOURCEW(7), collectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    std::set<int> expectedLanguages;
    for (const auto& [lang, _] : expected) expectedLanguages.insert(lang);
    EXPECT_EQ(languages, expectedLanguages);

    int checked = 0;
    for (const auto& [lang, strings] : expected) {
        const auto block = resource(RT_STRING, MAKEINTRESOURCEW(7), static_cast<WORD>(lang));
        ASSERT_FALSE(block.empty()) << lang;
        const auto* w = reinterpret_cast<const WCHAR*>(block.data());
        const auto* end = w + block.size() / 2;
        for (int entry = 0; entry < 16; ++entry) {
            ASSERT_LT(w, end);
            const std::wstring text(w + 1, *w);
            w += 1 + *w;
            const int id = 96 + entry;
            auto it = strings.find(id);
            if (it == strings.end()) {
                EXPECT_TRUE(text.empty()) << lang << "/" << id;
            } else {
                EXPECT_EQ(text, it->second) << lang << "/" << id;
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 60);
}

TEST_F(BuiltExe, DialogTemplateAsTheWindowNeedsIt)
{
    const auto t = resource(RT_DIALOG, MAKEINTRESOURCEW(102), 0x4809);
    ASSERT_FALSE(t.empty()) << "dialog 102 must be stored as English (Singapore)";
    Words r{t.data()};
    EXPECT_EQ(r.word(), 1);       // dlgVer
    EXPECT_EQ(r.word(), 0xFFFF);  // signature: extended template
    r.dword();                    // helpID
    EXPECT_EQ(r.dword(), 0u);     // exStyle
    EXPECT_EQ(r.dword(), 0x80C800C8u);
    const WORD items = r.word();
    EXPECT_EQ(items, 2);
    EXPECT_EQ(r.word(), 0);
    EXPECT_EQ(r.word(), 0);
    EXPECT_EQ(r.word(), 261);
    EXPECT_EQ(r.word(), 90);
    EXPECT_EQ(r.nameOrOrdinal(), L"");  // no menu
    EXPECT_EQ(r.nameOrOrdinal(), L"");  // predefined dialog class
    EXPECT_EQ(r.sz(), L"Veltrane");
    EXPECT_EQ(r.word(), 8);    // point size
    EXPECT_EQ(r.word(), 400);  // weight
    EXPECT_EQ(*r.p++, 0);      // italic
    EXPECT_EQ(*r.p++, 1);      // character set
    EXPECT_EQ(r.sz(), L"MS Shell Dlg");

    struct Item { DWORD style; short x, y, cx, cy; DWORD id; std::wstring cls, title; };
    std::vector<Item> got;
    for (int i = 0; i < items; ++i) {
        r.alignDword(t.data());
        Item it{};
        r.dword();  // helpID
        EXPECT_EQ(r.dword(), 0u);
        it.style = r.dword();
        it.x = r.word(); it.y = r.word(); it.cx = r.word(); it.cy = r.word();
        it.id = r.dword();
        it.cls = r.nameOrOrdinal();
        it.title = r.nameOrOrdinal();
        r.p += r.word();  // creation data
        got.push_back(it);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 1001u);
    // The resource compiler stores class names upper-case; class lookup ignores case.
    EXPECT_EQ(_wcsicmp(got[0].cls.c_str(), L"msctls_progress32"), 0) << got[0].cls;
    EXPECT_EQ(got[0].style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_BORDER));
    EXPECT_EQ((std::vector<short>{got[0].x, got[0].y, got[0].cx, got[0].cy}), (std::vector<short>{28, 34, 200, 12}));
    EXPECT_EQ(got[0].title, L"");
    EXPECT_EQ(got[1].id, 1002u);
    EXPECT_EQ(got[1].cls, L"#130");  // predefined static class 0x0082
    EXPECT_EQ(got[1].style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT));
    EXPECT_EQ((std::vector<short>{got[1].x, got[1].y, got[1].cx, got[1].cy}), (std::vector<short>{28, 52, 124, 8}));
    EXPECT_EQ(got[1].title, L"");
}

TEST_F(BuiltExe, VersionIconAndManifest)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00070000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x0003000Eu);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00070000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x0003000Eu);
    wchar_t* product = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductName", reinterpret_cast<void**>(&product), &len));
    EXPECT_EQ(std::wstring(product), L"Veltrane Desktop App Bootstrap");

    EXPECT_NE(FindResourceW(module_, MAKEINTRESOURCEW(101), RT_GROUP_ICON), nullptr);

    HRSRC m = FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(m, nullptr);
    const auto* p = static_cast<const char*>(LockResource(LoadResource(module_, m)));
    const std::string manifest(p, SizeofResource(module_, m));
    for (const char* needle :
         {"level=\"requireAdministrator\"", "uiAccess=\"false\"", "name=\"Microsoft.Windows.Common-Controls\"",
          "version=\"6.0.0.0\"", "processorArchitecture=\"X86\"", "publicKeyToken=\"6595b64144ccf1df\"",
          "language=\"*\"", "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
          "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
          "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
          "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>",
          "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2</dpiAwareness>"})
        EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
}
