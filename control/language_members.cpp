// DialogLanguage and SetDialogText: the language of CheckUpdateWithDialog's window and a
// host's own texts for it (control/dialog/dialog_language.h). Both hold for this control only
// and are not saved with the form.
#include <string>

#include "control/dialog/dialog_ids.h"
#include "control/orvane_control.h"

namespace orv {

STDMETHODIMP OrvaneControl::get_DialogLanguage(BSTR* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    return ComMethod([&] {
        const std::wstring& language = dialogTexts_.language;
        *value = SysAllocStringLen(language.data(), static_cast<UINT>(language.size()));
        return *value ? S_OK : E_OUTOFMEMORY;
    });
}

STDMETHODIMP OrvaneControl::put_DialogLanguage(BSTR value) {
    return ComMethod([&] {
        // Any text: one the dialog has no table for shows English.
        dialogTexts_.language.assign(value ? value : L"", SysStringLen(value));
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::SetDialogText(LONG id, BSTR text) {
    return ComMethod([&] {
        if (!dialog::IsDialogText(id))
            return ErrorWithInfo(E_INVALIDARG,
                                 L"SetDialogText: " + std::to_wstring(id) +
                                     L" is not a text of the update dialog (see the ids in the "
                                     L"guide, " +
                                     std::to_wstring(IDS_UD_UPDATE) + L" and up)");
        if (SysStringLen(text) == 0)
            dialogTexts_.replaced.erase(id);
        else
            dialogTexts_.replaced[id].assign(text, SysStringLen(text));
        return S_OK;
    });
}

}  // namespace orv
