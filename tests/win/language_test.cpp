// Choice of the UI language and loading of the status strings in it.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "app/bootstrap_log.h"
#include "ui/ui_language.h"
#include "win_test_support.h"

using namespace velt;
using namespace velt::test;

namespace {

// Captures what the language choice writes to the log.
class LogCapture {
public:
    LogCapture() : path_(makeTempFolder(L"langlog") + L"log.txt")
    {
        DeleteFileW(path_.c_str());
        openBootstrapLog(path_);
    }
    ~LogCapture() { closeBootstrapLog(); }
    std::string text()
    {
        closeBootstrapLog();
        return readFileBytes(path_);
    }

private:
    std::wstring path_;
};

}  // namespace

TEST(UiLanguage, ExactMatchIsTakenAndLogged)
{
    for (int lang : {1028, 1031, 1041, 1046, 2052, 2070, 3082}) {
        LogCapture log;
        EXPECT_EQ(chooseUiLanguage(GetModuleHandleW(nullptr), static_cast<LANGID>(lang)), lang);
        EXPECT_NE(log.text().find(" INFO::Found string resource of langid [" + std::to_string(lang) + "].\r\n"),
                  std::string::npos);
    }
}

TEST(UiLanguage, RelativesAndUnknownLanguagesFallBackToUsEnglish)
{
    // A known primary language with another sublanguage is not a match.
    for (int lang : {2057, 3084, 3076, 2058, 1043, 0}) {
        LogCapture log;
        EXPECT_EQ(chooseUiLanguage(GetModuleHandleW(nullptr), static_cast<LANGID>(lang)), 1033) << lang;
        EXPECT_NE(log.text().find(" INFO::Can not find string resource of langid [" + std::to_string(lang) +
                                  "], fall back to LANG_ENGLISH.\r\n"),
                  std::string::npos)
            << lang;
    }
}

TEST(UiLanguage, StatusStringsFollowTheChosenLanguagePerThread)
{
    const auto expected = expectedStatusStrings();
    for (const auto& [lang, strings] : expected) {
        applyUiLanguage(static_cast<LANGID>(lang));
        for (const auto& [id, text] : strings) EXPECT_EQ(loadStatusString(id), text) << lang << "/" << id;
    }
    // Brazil and Portugal are told apart.
    applyUiLanguage(1046);
    EXPECT_EQ(loadStatusString(103), L"Iniciando...");
    applyUiLanguage(2070);
    EXPECT_EQ(loadStatusString(103), L"A inicializar...");

    // Another thread keeps its own choice.
    std::wstring other;
    std::thread([&] {
        applyUiLanguage(1031);
        other = loadStatusString(103);
    }).join();
    EXPECT_EQ(other, L"Wird initialisiert...");
    EXPECT_EQ(loadStatusString(103), L"A inicializar...");

    // Ids that are not status strings give the empty text.
    for (UINT id : {96u, 105u, 106u, 111u, 112u, 5000u}) EXPECT_EQ(loadStatusString(id), L"") << id;
}
