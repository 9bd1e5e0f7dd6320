// Drives a running OrvaneMaker.exe from another process through window messages: control
// texts, menu commands, message boxes and the common file dialogs. Every wait is bounded.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"

namespace orv::test {

// Default bound of every wait, in milliseconds.
inline constexpr DWORD kWaitMs = 10000;

// Paths of this build: the Windows form of ORV_BINARY_DIR and friends (files and paths in
// general: tests/support/files.h).
std::string BinaryDir();  // Windows path of the build tree
std::string UnixBinaryDir();
std::string MakerExePath();

// A folder of its own for one test, created empty.
std::string FreshFolder(const std::string& name);

// The clipboard as the test process sees it; nullopt when it holds no text.
std::optional<std::string> ClipboardText();
void SetClipboardText(const std::string& text);
void ClearClipboard();  // a clipboard holding no text at all

// Saves a picture of the whole X display (import -window root) as NAME.png in the build's
// screenshot folder. Returns the Unix path, or an empty text when it could not be taken.
std::string Screenshot(const std::string& name);

// Real key presses on the keyboard of the display, to whatever window has the focus.
void PressKeys(const std::vector<WORD>& held, WORD key);  // e.g. {VK_MENU}, 'P' for Alt+P
void TypeKeys(const std::string& text);                   // printable ASCII, as typed

// Runs a Windows program and waits for it; its exit status, or -1 when it could not start or
// did not end within `ms`.
int RunProgram(const std::string& commandLine, DWORD ms = 60000);
// Runs a Unix command line (no double quotes in it) through /bin/sh and returns what it
// printed: Wine reports neither the exit status nor the end of a Unix program, so its output
// goes to a file in `unixFolder` that appears whole when the program has ended.
std::string RunUnixProgram(const std::string& command, const std::string& unixFolder,
                           DWORD ms = 60000);

std::string ClassOf(HWND window);
std::string TitleOf(HWND window);  // through WM_GETTEXT, works across processes

// A message sent to the maker from a worker thread: the maker may open a modal window while
// it handles the message, and the test must stay free to operate that window.
class Pending {
   public:
    Pending(HWND target, UINT message, WPARAM wParam, std::string text);
    ~Pending();
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    // True when the maker finished handling the message within `ms`.
    bool Wait(DWORD ms = kWaitMs);
    bool Done() const { return done_; }

   private:
    std::string text_;
    std::atomic<bool> done_{false};
    std::thread worker_;
};

struct MessageBoxView {
    HWND Window = nullptr;
    std::string Title;
    std::string Text;
    bool CriticalIcon = false;
    std::vector<int> Buttons;  // ids of the visible push buttons
};

class Maker {
   public:
    Maker() = default;
    ~Maker();
    Maker(const Maker&) = delete;
    Maker& operator=(const Maker&) = delete;

    // Starts the program (the build's own, or a copy elsewhere) and waits for its main window.
    bool Start(const std::string& exe = MakerExePath());
    HWND Form() const { return form_; }
    HWND Item(int id) const { return GetDlgItem(form_, id); }
    DWORD ProcessId() const { return pid_; }
    bool Running() const;
    // Waits for the process to end (after Exit or closing the window).
    bool WaitForExit(DWORD ms = kWaitMs);

    // Synchronous steps, for messages that open no modal window.
    LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    std::string Text(int id) const;
    void SetText(int id, const std::string& text);
    std::pair<int, int> Selection(int id);  // EM_GETSEL start and end
    void Select(int id, int start, int end);
    void Focus(int id);  // through the dialog manager, as Tab would
    int FocusedId() const;

    // Asynchronous steps.
    std::unique_ptr<Pending> SetTextAsync(int id, const std::string& text);
    std::unique_ptr<Pending> CommandAsync(int id);

    // The maker's visible top-level windows other than its main window.
    std::vector<HWND> OtherWindows() const;
    HWND WaitForWindow(const std::function<bool(HWND)>& match, DWORD ms = kWaitMs) const;
    HWND WaitForDialog(const std::string& title, DWORD ms = kWaitMs) const;
    std::optional<MessageBoxView> WaitForMessageBox(DWORD ms = kWaitMs) const;
    // Presses a button of a dialog and waits until the dialog is gone.
    bool Press(HWND dialog, int buttonId) const;

    // Types a path into the file dialog titled `title` and presses its OK button; answers Yes
    // when the dialog asks before replacing a file.
    bool ChooseFile(const std::string& title, const std::string& path) const;
    // Types a path into the file dialog titled `title` and presses its OK button, nothing more;
    // returns the dialog, or nullptr when it did not appear.
    HWND SubmitFileName(const std::string& title, const std::string& path) const;
    // The message box that `dialog` opened over itself (a question or a refusal), or nullptr.
    HWND WaitForPrompt(HWND dialog, DWORD ms = kWaitMs) const;
    bool CancelFileDialog(const std::string& title) const;

    // Closes every other window of the maker (after a failed expectation).
    void CloseStrayWindows() const;

   private:
    PROCESS_INFORMATION process_{};
    DWORD pid_ = 0;
    DWORD tid_ = 0;
    HWND form_ = nullptr;
};

}  // namespace orv::test
