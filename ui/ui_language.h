// The UI language (one of the 15 the executable carries, chosen by the user's default language)
// and the status strings loaded in it.
#pragma once

#include <windows.h>

#include <string>

namespace velt {

// Chooses the language for `userLangId`: itself when `module` holds string-table block 7 in
// exactly that LANGID, else 1033. Writes the matching INFO line. No thread state is touched.
LANGID chooseUiLanguage(HMODULE module, LANGID userLangId);

// Chooses the language for the user's default LANGID and makes it the calling thread's UI
// language; every status string loaded on this thread afterwards comes in that language.
void selectUiLanguage();

// Makes `langId` the calling thread's UI language for the status strings.
void applyUiLanguage(LANGID langId);

// The status string `id` in the calling thread's UI language, or the empty text.
std::wstring loadStatusString(UINT id);

}  // namespace velt
