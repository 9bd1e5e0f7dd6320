#include "maker/commdlgs.h"

#include <cstddef>

#include "maker/maker_logic.h"

namespace orv::maker {

// The ANSI record in its 76-byte form, the one every version of the dialog library accepts.
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76);
constexpr DWORD kRecordSize = 76;  // OPENFILENAME_SIZE_VERSION_400A

std::string ShowFileDialog(HWND owner, int16_t mode, std::string_view title,
                           std::string_view initialFileName, std::string_view filter,
                           std::string_view initialFolder, std::string_view defaultExtension,
                           bool private_) {
    const std::string filterList = DialogFilter(filter);
    std::string file = DialogFileBuffer(initialFileName);
    std::string fileTitle(kDialogBufferSize, '\0');
    const std::string folder(initialFolder);
    const std::string caption(title);
    const std::string extension(defaultExtension);

    OPENFILENAMEA record{};
    record.lStructSize = kRecordSize;
    record.hwndOwner = owner;
    record.lpstrFilter = filterList.c_str();
    record.nFilterIndex = 1;
    record.lpstrFile = file.data();
    record.nMaxFile = static_cast<DWORD>(kDialogBufferSize);
    record.lpstrFileTitle = fileTitle.data();
    record.nMaxFileTitle = static_cast<DWORD>(kDialogBufferSize);
    record.lpstrInitialDir = folder.c_str();
    record.lpstrTitle = caption.c_str();
    record.Flags = mode == kDialogOpen ? kOpenFlags : kSaveFlags;
    if (private_) record.Flags |= OFN_DONTADDTORECENT;
    record.lpstrDefExt = extension.c_str();

    const BOOL chosen = mode == kDialogOpen ? GetOpenFileNameA(&record) : GetSaveFileNameA(&record);
    if (!chosen) return {};
    return std::string(file.c_str());
}

}  // namespace orv::maker
