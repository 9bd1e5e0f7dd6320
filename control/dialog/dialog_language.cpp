#include "control/dialog/dialog_language.h"

#include <cstddef>
#include <cwctype>
#include <utility>
#include <vector>

#include "control/dialog/update_dialog.h"
#include "control/module.h"

namespace orv::dialog {
namespace {

// The choices of the dialogs running now, by thread, the latest last (a dialog is modal: a
// thread runs one at a time, or one nested in another). A list under a lock rather than a
// thread_local, whose per-thread storage MinGW frees at thread exit with code of this
// library, which COM may have unloaded by then.
SRWLOCK choicesLock = SRWLOCK_INIT;
std::vector<std::pair<DWORD, const TextChoice*>>& Choices() {
    static std::vector<std::pair<DWORD, const TextChoice*>> choices;
    return choices;
}

// The choice of the dialog running on this thread, if any.
const TextChoice* Current() {
    const DWORD thread = GetCurrentThreadId();
    const TextChoice* found = nullptr;
    AcquireSRWLockShared(&choicesLock);
    for (const auto& [owner, choice] : Choices())
        if (owner == thread) found = choice;
    ReleaseSRWLockShared(&choicesLock);
    return found;
}

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

UseTextChoice::UseTextChoice(const TextChoice* choice) {
    AcquireSRWLockExclusive(&choicesLock);
    Choices().emplace_back(GetCurrentThreadId(), choice);
    ReleaseSRWLockExclusive(&choicesLock);
}

UseTextChoice::~UseTextChoice() {
    const DWORD thread = GetCurrentThreadId();
    AcquireSRWLockExclusive(&choicesLock);
    auto& choices = Choices();
    for (auto i = choices.size(); i-- > 0;)
        if (choices[i].first == thread) {
            choices.erase(choices.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    ReleaseSRWLockExclusive(&choicesLock);
}

std::wstring DialogText(int id, std::initializer_list<std::wstring> values) {
    // The host's own text first, then the chosen table's, then the English one: a table
    // without the text never shows an empty line.
    const TextChoice* current = Current();
    std::wstring text;
    if (current)
        if (const auto found = current->replaced.find(id); found != current->replaced.end())
            text = found->second;
    if (text.empty()) text = TableText(id, ChooseLanguage(current ? current->language : L"").table);
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
