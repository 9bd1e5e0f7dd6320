#include "tests/gui/maker_driver.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <initializer_list>

#include "maker/resource.h"

namespace orv::test {

namespace {

// Ids of the common dialogs' controls (dlgs.h) and of the message box's parts.
constexpr int kFileNameCombo = 0x47C;  // cmb13
constexpr int kFileNameEdit = 0x480;   // edt1
constexpr int kMessageBoxText = 0xFFFF;
constexpr int kMessageBoxIcon = 0x440;    // stc1 in this platform's message box
constexpr int kMessageBoxIconAlt = 0x14;  // the icon's id in other message box layouts

bool OpenClipboardBounded() {
    for (int i = 0; i < 100; ++i) {
        if (OpenClipboard(nullptr)) return true;
        Sleep(20);
    }
    return false;
}

// The top-level windows of a process, hidden ones included.
std::vector<HWND> ProcessWindows(DWORD pid) {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
        static BOOL CALLBACK Visit(HWND w, LPARAM p) {
            auto* s = reinterpret_cast<Search*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == s->pid) s->found.push_back(w);
            return TRUE;
        }
    } search{pid, {}};
    EnumWindows(Search::Visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// How many pixels of the screen under `control` differ from the system icon `which` drawn
// on the same background.
int IconDifference(HWND control, LPCSTR which) {
    RECT at{};
    GetWindowRect(control, &at);
    const int w = GetSystemMetrics(SM_CXICON), h = GetSystemMetrics(SM_CYICON);
    HDC screen = GetDC(nullptr);
    HDC shown = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
    HBITMAP shownBits = CreateCompatibleBitmap(screen, w, h);
    HBITMAP drawnBits = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ oldShown = SelectObject(shown, shownBits), oldDrawn = SelectObject(drawn, drawnBits);
    BitBlt(shown, 0, 0, w, h, screen, at.left, at.top, SRCCOPY);
    HBRUSH background = CreateSolidBrush(GetPixel(shown, 0, 0));
    RECT all{0, 0, w, h};
    FillRect(drawn, &all, background);
    DrawIconEx(drawn, 0, 0, LoadIconA(nullptr, which), w, h, 0, nullptr, DI_NORMAL);
    int differing = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const COLORREF a = GetPixel(shown, x, y), b = GetPixel(drawn, x, y);
            const int d = std::abs(GetRValue(a) - GetRValue(b)) +
                          std::abs(GetGValue(a) - GetGValue(b)) +
                          std::abs(GetBValue(a) - GetBValue(b));
            if (d > 24) ++differing;
        }
    }
    SelectObject(shown, oldShown);
    SelectObject(drawn, oldDrawn);
    DeleteObject(background);
    DeleteObject(shownBits);
    DeleteObject(drawnBits);
    DeleteDC(shown);
    DeleteDC(drawn);
    ReleaseDC(nullptr, screen);
    return differing;
}

// The message box icon that the control shows, or nullptr when it shows none of them.
LPCSTR ClosestSystemIcon(HWND control) {
    LPCSTR best = nullptr;
    int fewest = GetSystemMetrics(SM_CXICON) * GetSystemMetrics(SM_CYICON) / 10;
    for (LPCSTR which : {IDI_HAND, IDI_EXCLAMATION, IDI_ASTERISK, IDI_QUESTION}) {
        const int d = IconDifference(control, which);
        if (d < fewest) {
            fewest = d;
            best = which;
        }
    }
    return best;
}

bool IsMessageBox(HWND window) {
    return ClassOf(window) == "#32770" && GetDlgItem(window, kMessageBoxText) != nullptr &&
           ClassOf(GetDlgItem(window, kMessageBoxText)) == "Static";
}

}  // namespace

std::string UnixBinaryDir() {
    return Env("ORV_BINARY_DIR");
}
std::string BinaryDir() {
    return WinPath(UnixBinaryDir());
}
std::string MakerExePath() {
    return BinaryDir() + "\\bin\\OrvaneMaker.exe";
}

std::string FreshFolder(const std::string& name) {
    const std::string folder = BinaryDir() + "\\gui_maker\\" + name;
    return EmptyFolder(folder);
}

std::optional<std::string> ClipboardText() {
    if (!OpenClipboardBounded()) return std::nullopt;
    std::optional<std::string> text;
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const char* p = static_cast<const char*>(GlobalLock(data))) {
            text = std::string(p);
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void SetClipboardText(const std::string& text) {
    ASSERT_TRUE(OpenClipboardBounded());
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    memcpy(GlobalLock(memory), text.c_str(), text.size() + 1);
    GlobalUnlock(memory);
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();
}

void ClearClipboard() {
    ASSERT_TRUE(OpenClipboardBounded());
    EmptyClipboard();
    CloseClipboard();
}

namespace {

// Appends the presses of `held` (in order), `key` down and up, and the releases of `held`.
void AddPress(std::vector<INPUT>& keys, const std::vector<WORD>& held, WORD key) {
    std::vector<std::pair<WORD, DWORD>> steps;
    for (WORD vk : held) steps.emplace_back(vk, 0);
    steps.insert(steps.end(), {{key, 0}, {key, KEYEVENTF_KEYUP}});
    for (auto it = held.rbegin(); it != held.rend(); ++it) steps.emplace_back(*it, KEYEVENTF_KEYUP);
    for (const auto& [vk, flags] : steps) {
        INPUT k{};
        k.type = INPUT_KEYBOARD;
        k.ki.wVk = vk;
        k.ki.dwFlags = flags;
        keys.push_back(k);
    }
}

}  // namespace

void PressKeys(const std::vector<WORD>& held, WORD key) {
    std::vector<INPUT> keys;
    AddPress(keys, held, key);
    SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
}

void TypeKeys(const std::string& text) {
    std::vector<INPUT> keys;  // one batch: the keys arrive in order without a round trip each
    for (char c : text) {
        const SHORT scan = VkKeyScanA(c);
        AddPress(keys, scan & 0x100 ? std::vector<WORD>{VK_SHIFT} : std::vector<WORD>{},
                 LOBYTE(scan));
    }
    SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
}

int RunProgram(const std::string& commandLine, DWORD ms) {
    std::string command = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    DWORD status = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &status);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

std::string RunUnixProgram(const std::string& command, const std::string& unixFolder, DWORD ms) {
    const std::string done = unixFolder + "/output.txt";
    DeleteFileA(WinPath(done).c_str());
    std::string line = "/bin/sh -c \"" + command + " >" + unixFolder + "/output.tmp 2>&1; mv " +
                       unixFolder + "/output.tmp " + done + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA("/bin/sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return "(cannot start /bin/sh)";
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (DWORD waited = 0; waited < ms && !Exists(WinPath(done)); waited += 50) Sleep(50);
    return Exists(WinPath(done)) ? ReadAll(WinPath(done)) : "(no output in time)";
}

std::string Screenshot(const std::string& name) {
    const std::string folder = UnixBinaryDir() + "/screenshots";
    CreateFolders(WinPath(folder));
    const std::string target = folder + "/" + name + ".png";
    DeleteFileA(WinPath(target).c_str());
    Sleep(500);  // let the X server finish drawing
    // Wine starts Unix programs given by their Unix path.
    std::string command = "/usr/bin/import -window root " + target;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA("/usr/bin/import", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return {};
    }
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The picture is written by another process: wait until it is there.
    for (int i = 0; i < 100 && !Exists(WinPath(target)); ++i) Sleep(50);
    return Exists(WinPath(target)) ? target : std::string();
}

std::string ClassOf(HWND window) {
    char name[128] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TitleOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kWaitMs, &length)) {
        return {};
    }
    std::string text(length + 1, '\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_NORMAL, kWaitMs, &got);
    text.resize(got);
    return text;
}

Pending::Pending(HWND target, UINT message, WPARAM wParam, std::string text)
    : text_(std::move(text)) {
    const bool hasText = message == WM_SETTEXT;
    worker_ = std::thread([this, target, message, wParam, hasText] {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(target, message, wParam,
                            hasText ? reinterpret_cast<LPARAM>(text_.c_str()) : 0, SMTO_NORMAL,
                            60000, &result);
        done_ = true;
    });
}

Pending::~Pending() {
    if (worker_.joinable()) worker_.join();
}

bool Pending::Wait(DWORD ms) {
    for (DWORD waited = 0; !done_ && waited < ms; waited += 10) Sleep(10);
    return done_;
}

Maker::~Maker() {
    if (!process_.hProcess) return;
    if (Running()) {
        CloseStrayWindows();
        PostMessageA(form_, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process_.hProcess, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, 5000);
        }
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

bool Maker::Start(const std::string& exe) {
    // Without a window manager on the virtual display, let the platform draw the window
    // frames of the maker itself, so that screenshots show the captions, and keep its windows
    // from a window manager: with none there, the platform waits 2 s for one before it hides a
    // window, at every message box and dialog that closes.
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER,
                        "Software\\Wine\\AppDefaults\\OrvaneMaker.exe\\X11 Driver", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
        RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
        RegCloseKey(key);
    }

    std::string command = "\"" + exe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        BinaryDir().c_str(), &startup, &process_)) {
        ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
        return false;
    }
    pid_ = process_.dwProcessId;
    tid_ = process_.dwThreadId;
    WaitForInputIdle(process_.hProcess, kWaitMs);
    form_ = WaitForWindow([](HWND w) { return ClassOf(w) == ORV_FORM1_CLASS; }, kWaitMs);
    if (!form_) ADD_FAILURE() << "the main window did not appear";
    return form_ != nullptr;
}

bool Maker::Running() const {
    return process_.hProcess && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

bool Maker::WaitForExit(DWORD ms) {
    return WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0;
}

LRESULT Maker::Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kWaitMs, &result)) {
        ADD_FAILURE() << "message " << message << " was not handled in time";
    }
    return static_cast<LRESULT>(result);
}

std::string Maker::Text(int id) const {
    return TitleOf(Item(id));
}

void Maker::SetText(int id, const std::string& text) {
    Send(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::pair<int, int> Maker::Selection(int id) {
    const LRESULT packed = Send(Item(id), EM_GETSEL);
    return {LOWORD(packed), HIWORD(packed)};
}

void Maker::Select(int id, int start, int end) {
    Send(Item(id), EM_SETSEL, start, end);
}

void Maker::Focus(int id) {
    Send(form_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
}

int Maker::FocusedId() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(tid_, &info) || !info.hwndFocus) return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

std::unique_ptr<Pending> Maker::SetTextAsync(int id, const std::string& text) {
    return std::make_unique<Pending>(Item(id), WM_SETTEXT, 0, text);
}

std::unique_ptr<Pending> Maker::CommandAsync(int id) {
    return std::make_unique<Pending>(form_, WM_COMMAND, MAKEWPARAM(id, 0), std::string());
}

std::vector<HWND> Maker::OtherWindows() const {
    std::vector<HWND> found;
    for (HWND w : ProcessWindows(pid_)) {
        if (w != form_ && IsWindowVisible(w)) found.push_back(w);
    }
    return found;
}

HWND Maker::WaitForWindow(const std::function<bool(HWND)>& match, DWORD ms) const {
    for (DWORD waited = 0;; waited += 50) {
        for (HWND w : ProcessWindows(pid_)) {
            if (IsWindowVisible(w) && match(w)) return w;
        }
        if (waited >= ms) return nullptr;
        Sleep(50);
    }
}

HWND Maker::WaitForDialog(const std::string& title, DWORD ms) const {
    return WaitForWindow(
        [&](HWND w) { return ClassOf(w) == "#32770" && !IsMessageBox(w) && TitleOf(w) == title; },
        ms);
}

std::optional<MessageBoxView> Maker::WaitForMessageBox(DWORD ms) const {
    HWND box = WaitForWindow(IsMessageBox, ms);
    if (!box) return std::nullopt;
    MessageBoxView view;
    view.Window = box;
    view.Title = TitleOf(box);
    view.Text = TitleOf(GetDlgItem(box, kMessageBoxText));
    HWND icon = GetDlgItem(box, kMessageBoxIcon);
    if (!icon) icon = GetDlgItem(box, kMessageBoxIconAlt);
    // Icon handles belong to their process: compare what the box shows on the screen.
    if (icon && IsWindowVisible(icon)) {
        Sleep(200);  // let the box finish painting
        view.CriticalIcon = ClosestSystemIcon(icon) == IDI_HAND;
    }
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == "Button" && IsWindowVisible(child)) {
            view.Buttons.push_back(GetDlgCtrlID(child));
        }
    }
    return view;
}

bool Maker::Press(HWND dialog, int buttonId) const {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, buttonId)));
    for (DWORD waited = 0; waited < kWaitMs; waited += 20) {
        if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
        Sleep(20);
    }
    return false;
}

HWND Maker::SubmitFileName(const std::string& title, const std::string& path) const {
    HWND dialog = WaitForDialog(title);
    if (!dialog) return nullptr;
    HWND name = GetDlgItem(dialog, kFileNameCombo);
    if (!name) name = GetDlgItem(dialog, kFileNameEdit);
    if (!name) return nullptr;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_NORMAL,
                        kWaitMs, &ignored);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return dialog;
}

HWND Maker::WaitForPrompt(HWND dialog, DWORD ms) const {
    return WaitForWindow(
        [&](HWND w) { return IsMessageBox(w) && GetWindow(w, GW_OWNER) == dialog; }, ms);
}

bool Maker::ChooseFile(const std::string& title, const std::string& path) const {
    HWND dialog = SubmitFileName(title, path);
    if (!dialog) return false;
    for (DWORD waited = 0; waited < kWaitMs; waited += 20) {
        if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
        // The Save dialog asks before it replaces a file: answer Yes.
        if (HWND prompt = WaitForPrompt(dialog, 0)) Press(prompt, IDYES);
        Sleep(20);
    }
    return false;
}

bool Maker::CancelFileDialog(const std::string& title) const {
    HWND dialog = WaitForDialog(title);
    return dialog && Press(dialog, IDCANCEL);
}

void Maker::CloseStrayWindows() const {
    for (int round = 0; round < 5; ++round) {
        const std::vector<HWND> windows = OtherWindows();
        if (windows.empty()) return;
        for (HWND w : windows) {
            if (IsMessageBox(w)) {
                PostMessageA(w, WM_COMMAND, IDOK, 0);
                PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
            } else {
                PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
                PostMessageA(w, WM_CLOSE, 0, 0);
            }
        }
        Sleep(300);
    }
}

}  // namespace orv::test
