#include "ui/ui_language.h"

#include "app/bootstrap_log.h"

namespace velt {

namespace {

constexpr LANGID kFallbackLangId = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // 1033
constexpr UINT kStatusBlock = 7;  // ids 96..111: block id / 16 + 1

// The language chosen on this thread. The platform's own resource lookup is supposed to follow
// the thread's UI language, but not every platform implements SetThreadUILanguage, so the
// choice is also kept here and asked for explicitly.
thread_local LANGID t_uiLangId = 0;

HMODULE selfModule() { return ::GetModuleHandleW(nullptr); }

// Walks the counted strings of a string-table block to `entry`; null when the block ends first.
const WCHAR* findCountedString(const WCHAR* p, const WCHAR* end, UINT entry, UINT* length)
{
    for (UINT i = 0; i < entry; ++i) {
        if (p >= end) return nullptr;
        p += 1 + *p;
    }
    if (p >= end || p + 1 + *p > end) return nullptr;
    *length = *p;
    return p + 1;
}

std::wstring readStringFromBlock(HMODULE module, HRSRC res, UINT id)
{
    if (!res) return {};
    HGLOBAL loaded = ::LoadResource(module, res);
    const auto* data = static_cast<const WCHAR*>(::LockResource(loaded));
    const DWORD bytes = ::SizeofResource(module, res);
    if (!data) return {};
    UINT length = 0;
    const WCHAR* text = findCountedString(data, data + bytes / sizeof(WCHAR), id % 16, &length);
    return text ? std::wstring(text, length) : std::wstring();
}

}  // namespace

LANGID chooseUiLanguage(HMODULE module, LANGID userLangId)
{
    // A neutral LANGID would make the lookup fall back to any language: only a real one can match.
    if (PRIMARYLANGID(userLangId) != LANG_NEUTRAL &&
        ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(kStatusBlock), userLangId)) {
        logInfo(L"Found string resource of langid [%d].\n", static_cast<int>(userLangId));
        return userLangId;
    }
    logInfo(L"Can not find string resource of langid [%d], fall back to LANG_ENGLISH.\n", static_cast<int>(userLangId));
    return kFallbackLangId;
}

void selectUiLanguage()
{
    applyUiLanguage(chooseUiLanguage(selfModule(), ::GetUserDefaultLangID()));
}

void applyUiLanguage(LANGID langId)
{
    ::SetThreadUILanguage(langId);
    t_uiLangId = langId;
}

std::wstring loadStatusString(UINT id)
{
    const auto block = MAKEINTRESOURCEW(id / 16 + 1);
    HMODULE module = selfModule();
    // Only a module that holds a non-empty string of that id in some language is asked.
    HRSRC any = ::FindResourceExW(module, RT_STRING, block, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    if (readStringFromBlock(module, any, id).empty()) return {};

    HRSRC res = t_uiLangId ? ::FindResourceExW(module, RT_STRING, block, t_uiLangId) : nullptr;
    if (!res) res = ::FindResourceW(module, block, RT_STRING);
    return readStringFromBlock(module, res, id);
}

}  // namespace velt
