#include "control/dialog/dialog_language.h"

#include <cstddef>
#include <cwctype>

#include "control/module.h"

namespace orv::dialog {
namespace {

// `code` up to its first "-" or "_", in lower case.
std::wstring PrimaryTag(std::wstring_view code) {
    std::wstring tag;
    for (wchar_t c : code) {
        if (c == L'-' || c == L'_') break;
        tag += static_cast<wchar_t>(std::towlower(c));
    }
    return tag;
}

}  // namespace

const Language& ChooseLanguage(std::wstring_view code) {
    if (code.empty()) {
        const WORD primary = PRIMARYLANGID(GetUserDefaultUILanguage());
        for (const Language& l : kLanguages)
            if (PRIMARYLANGID(l.table) == primary) return l;
        return kLanguages[0];
    }
    const std::wstring wanted = PrimaryTag(code);
    for (const Language& l : kLanguages)
        if (PrimaryTag(l.code) == wanted) return l;
    return kLanguages[0];
}

std::wstring TableText(int id, LANGID language) {
    // A string table block holds 16 counted strings; block n holds the ids 16 (n - 1) to
    // 16 n - 1.
    if (id < 0 || id > 0xFFFF) return {};
    const HMODULE module = ModuleInstance();
    const HRSRC found =
        FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
    const HGLOBAL data = found ? LoadResource(module, found) : nullptr;
    auto p = data ? static_cast<const wchar_t*>(LockResource(data)) : nullptr;
    if (!p) return {};
    for (int i = 0; i < id % 16; ++i) p += 1 + static_cast<WORD>(*p);
    return std::wstring(p + 1, static_cast<WORD>(*p));
}

bool IsDialogText(int id) {
    for (const Language& l : kLanguages)
        if (!TableText(id, l.table).empty()) return true;
    return false;
}

std::wstring DialogText(const TextChoice* choice, int id,
                        std::initializer_list<std::wstring> values) {
    // The host's own text first, then the chosen table's, then the English one: a table
    // without the text never shows an empty line.
    std::wstring text;
    if (choice)
        if (const auto found = choice->replaced.find(id); found != choice->replaced.end())
            text = found->second;
    if (text.empty()) text = TableText(id, ChooseLanguage(choice ? choice->language : L"").table);
    if (text.empty()) text = TableText(id, kLanguages[0].table);
    // %1 ... %9 are replaced from left to right in one pass, so a value holding "%2" stays.
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t n =
            i + 1 < text.size() ? static_cast<std::size_t>(text[i + 1] - L'1') : 9;
        if (text[i] == L'%' && n < values.size()) {
            out += values.begin()[n];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace orv::dialog
