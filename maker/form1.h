// Form1: the editor's one working window. Shows one update information record, guards the
// boxes against the characters the file reserves, chooses the package, and runs the File,
// Edit and Help menus.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/win/handles.h"
#include "common/win/window.h"
#include "maker/maker_logic.h"
#include "maker/publishing.h"

namespace orv::maker {

class Form1 : public win::DialogBase<Form1> {
   public:
    explicit Form1(HINSTANCE instance) : instance_(instance) {}
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Registers the form's window class and creates the (not yet visible) window.
    bool Create();

    // Runs the message loop until the window is closed; returns the exit code.
    int Run(int show);

   private:
    // True for messages to the form and its controls; other windows of the thread (the help
    // viewer) keep their own keys.
    bool OwnsMessage(const MSG& msg) const;
    friend DialogBase;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code);
    // Subclass of Text1 to Text6: runs the change handler after the text was set.
    static LRESULT CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR id, DWORD_PTR form);

    // Form load: date lists, today's date.
    void Load();
    void SelectToday();
    // Change of Text1 to Text6: guards and the numeric check.
    void OnTextChange(Box box);
    // Click of Command1.
    void ChoosePackage();
    // Checks the form and writes the update information file.
    void SaveUpdate(const std::string& fileName);
    // The publishing dialog (Alt+P).
    void Publishing();
    // The plain text a save writes with the publishing fields, or nothing when the save stops
    // (a refusal shown, or the publisher cancelled).
    std::optional<std::string> TextToSave(const std::string& six);
    // The signed text: the key file read, used and wiped; nothing after a message.
    std::optional<std::string> SignWithKey(const std::string& six);
    // The signature state of a plain text, checked with the public keys at hand.
    std::string StateOf(std::string_view plain) const;

    // File menu.
    void New();
    void Open();
    void Save();
    void SaveAs();
    // Edit menu.
    void Copy();
    void Cut();
    void Paste();
    // Help menu.
    void Contents();
    void About();

    HWND Control(Box box) const;
    HWND Control(int id) const { return GetDlgItem(window_, id); }
    void SetText(Box box, const std::string& text);
    std::string Text(Box box) const;
    void FocusControl(Box box);
    void ShowError(std::string_view message);
    FormRecord ReadRecord() const;
    HWND FocusedTextBox() const;

    HINSTANCE instance_;
    HACCEL accelerators_ = nullptr;
    unique_hicon bigIcon_, smallIcon_;
    unique_module helpLibrary_;
    // The last text each of Text1 to Text6 was seen with: a change handler runs only when the
    // text really changed, as for the user's typing.
    std::array<std::string, 6> seenText_;

    // The full path of the update information file being edited; empty when there is none.
    std::string CurrentFileName;
    // The package size in bytes; what SaveUpdate writes (Text8 only shows it).
    int32_t PackageFileSize = 0;
    // The package chosen with "..." in this session (its digest is computed when signing).
    std::string packagePath_;
    // The publishing fields; the private key file's name only (the key is read while saving).
    PublishFields publish_;
    std::string keyFile_;
    // What the opened (or last saved) file holds after its six fields; none for a new file.
    std::optional<OpenedExtras> opened_;
};

}  // namespace orv::maker
