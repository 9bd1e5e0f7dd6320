// The languages of the update dialog: which string table its texts come from (the user's UI
// language, or the one a host chose with DialogLanguage), and the texts a host replaced with
// SetDialogText, and the dialog's texts as they make them.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

namespace orv::dialog {

// A language the dialog has a string table for: the code DialogLanguage takes (its part before
// "-" is enough: "pt", "zh") and the table's language.
struct Language {
    const wchar_t* code;
    LANGID table;
};
// English first: it is the fallback of every text.
inline constexpr Language kLanguages[] = {
    {L"en", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},
    {L"de", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
    {L"fr", MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH)},
    {L"es", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN)},
    {L"it", MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN)},
    {L"pt-BR", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN)},
    {L"nl", MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH)},
    {L"pl", MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT)},
    {L"ja", MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)},
    {L"zh-CN", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)},
};

// The table for `code`, compared without regard to case by its part before the first "-" or
// "_" ("pt-PT" and "zh-TW" choose pt-BR and zh-CN); an empty code takes the user's UI
// language by its primary language. English for any other.
const Language& ChooseLanguage(std::wstring_view code);

// The text `id` of the table of `language` as the resources hold it; empty when it has none.
std::wstring TableText(int id, LANGID language);

// Whether `id` is one of the dialog's texts: a table of any language holds it.
bool IsDialogText(int id);

// What one control makes of the dialog's texts: DialogLanguage ("" = the user's), and the
// texts its host replaced, by id.
struct TextChoice {
    std::wstring language;
    std::map<int, std::wstring> replaced;
};

// A text of the dialog: the host's replacement in `choice`, else the string table of the
// language it chose (none: the user's), else the English one; with %1, %2, ... replaced.
std::wstring DialogText(const TextChoice* choice, int id,
                        std::initializer_list<std::wstring> values = {});

}  // namespace orv::dialog
