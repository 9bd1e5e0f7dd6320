#include "maker/publish_dialog.h"

#include <windowsx.h>

#include "common/win/window.h"
#include "maker/commdlgs.h"
#include "maker/resource.h"
#include "maker/win_support.h"
#include "tools/orvinfo/cp1252.h"
#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/file_io.h"
#include "tools/orvinfo/orvinfo.h"

namespace orv::maker {

namespace {

constexpr int kFieldIds[] = {IDC_PUB_DIGEST, IDC_PUB_EXPIRES, IDC_PUB_URLS};

class PublishDialog : public win::DialogBase<PublishDialog> {
   public:
    explicit PublishDialog(PublishDialogData& data) : data_(data) {}

   private:
    friend DialogBase;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM) {
        switch (message) {
            case WM_INITDIALOG: Load(); return TRUE;
            case WM_COMMAND:
                switch (LOWORD(wParam)) {
                    case IDOK: Accept(); break;
                    case IDCANCEL: EndDialog(window_, IDCANCEL); break;
                    case IDC_PUB_KEYBROWSE: ChooseKey(); break;
                    case IDC_PUB_DIGESTFILE: DigestOfPackage(); break;
                    case IDC_PUB_CRITICAL: EnableBelow(); break;
                }
                return TRUE;
            case WM_CLOSE: EndDialog(window_, IDCANCEL); return TRUE;
        }
        return FALSE;
    }

    void Set(int id, const std::string& text) { SetDlgItemTextA(window_, id, text.c_str()); }
    std::string Get(int id) const { return WindowText(GetDlgItem(window_, id)); }

    void Load() {
        Set(IDC_PUB_STATE, data_.State);
        Set(IDC_PUB_KEY, data_.KeyFile);
        const PublishFields& f = data_.Fields;
        Set(IDC_PUB_DIGEST, f.Digest);
        Set(IDC_PUB_EXPIRES, f.Expires);
        Set(IDC_PUB_URLS, f.Urls);
        CheckDlgButton(window_, IDC_PUB_CRITICAL, f.Critical ? BST_CHECKED : BST_UNCHECKED);
        Set(IDC_PUB_BELOW, f.CriticalBelow);
        Set(IDC_PUB_MINVER, f.MinVersion);
        Set(IDC_PUB_ROLLOUT, f.Rollout);
        Set(IDC_PUB_ARGS, f.Arguments);
        EnableBelow();
    }

    void EnableBelow() {
        EnableWindow(GetDlgItem(window_, IDC_PUB_BELOW),
                     IsDlgButtonChecked(window_, IDC_PUB_CRITICAL) == BST_CHECKED);
    }

    void ShowError(const std::string& message) {
        MessageBoxA(window_, message.c_str(), std::string(kAppTitle).c_str(), MB_OK | MB_ICONERROR);
    }

    void ChooseKey() {
        const std::string chosen =
            ShowFileDialog(window_, kDialogOpen, "Private key file...", "*.key",
                           "Private keys (*.key;*.pem)|*.key;*.pem|All files (*.*)|*.*",
                           win::ModuleFolder(), "key", true);
        if (!chosen.empty()) Set(IDC_PUB_KEY, chosen);
    }

    void DigestOfPackage() {
        const std::string chosen =
            ShowFileDialog(window_, kDialogOpen, "Package to digest...", "*.*", "All files (*.*)",
                           win::ModuleFolder(), "*");
        if (chosen.empty()) return;
        Sha256Digest digest{};
        const auto reason =
            orvinfo::crypto::Sha256OfFile(files::PathFromUtf8(text::Cp1252ToUtf8(chosen)), digest);
        if (reason) {
            ShowError("The package cannot be read:\r\n" + chosen + "\r\n\r\n" + *reason);
            return;
        }
        Set(IDC_PUB_DIGEST, HexLower(digest.data(), digest.size()));
    }

    void Accept() {
        PublishFields f;
        f.Digest = Get(IDC_PUB_DIGEST);
        f.Expires = Get(IDC_PUB_EXPIRES);
        f.Urls = Get(IDC_PUB_URLS);
        f.Critical = IsDlgButtonChecked(window_, IDC_PUB_CRITICAL) == BST_CHECKED;
        f.CriticalBelow = f.Critical ? Get(IDC_PUB_BELOW) : std::string();
        f.MinVersion = Get(IDC_PUB_MINVER);
        f.Rollout = Get(IDC_PUB_ROLLOUT);
        f.Arguments = Get(IDC_PUB_ARGS);
        // An unchanged expiry is the file's own, which may lie in the past: it is kept as read.
        PublishFields checked = f;
        if (checked.Expires == data_.Fields.Expires) checked.Expires.clear();
        if (const auto refusal = CheckPublishFields(checked, orvinfo::NowUtc())) {
            ShowError(refusal->Message);
            HWND field = GetDlgItem(window_, kFieldIds[refusal->Field]);
            SendMessageA(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
            Edit_SetSel(field, 0, -1);
            return;
        }
        data_.KeyFile = Get(IDC_PUB_KEY);
        data_.Fields = f;
        EndDialog(window_, IDOK);
    }

    PublishDialogData& data_;
};

}  // namespace

bool ShowPublishDialog(HINSTANCE instance, HWND owner, PublishDialogData& data) {
    PublishDialogData edited = data;
    PublishDialog dialog(edited);
    const INT_PTR result =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PUBLISH), owner, PublishDialog::DialogProc,
                        reinterpret_cast<LPARAM>(&dialog));
    if (result != IDOK) return false;
    data = edited;
    return true;
}

}  // namespace orv::maker
