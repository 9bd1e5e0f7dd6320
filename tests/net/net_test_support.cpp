#include "tests/net/net_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/net/winsock_api.h"

namespace orv::net::test {

// --- fault server client -------------------------------------------------------------------

namespace {

// The few ws2_32 functions the control client needs, loaded at run time.
struct Ws2 {
    using Startup = int(WINAPI*)(WORD, WSADATA*);
    using Cleanup = int(WINAPI*)();
    using Socket = SOCKET(WINAPI*)(int, int, int);
    using Connect = int(WINAPI*)(SOCKET, const sockaddr*, int);
    using Send = int(WINAPI*)(SOCKET, const char*, int, int);
    using Recv = int(WINAPI*)(SOCKET, char*, int, int);
    using Close = int(WINAPI*)(SOCKET);
    using SetOpt = int(WINAPI*)(SOCKET, int, int, const char*, int);

    Startup startup = nullptr;
    Cleanup cleanup = nullptr;
    Socket socket = nullptr;
    Connect connect = nullptr;
    Send send = nullptr;
    Recv recv = nullptr;
    Close close = nullptr;
    SetOpt setopt = nullptr;

    bool Load() {
        if (startup != nullptr) return true;
        HMODULE dll = LoadLibraryA("ws2_32.dll");
        if (dll == nullptr) return false;
        auto get = [dll](const char* name) {
            return reinterpret_cast<void*>(GetProcAddress(dll, name));
        };
        startup = reinterpret_cast<Startup>(get("WSAStartup"));
        cleanup = reinterpret_cast<Cleanup>(get("WSACleanup"));
        socket = reinterpret_cast<Socket>(get("socket"));
        connect = reinterpret_cast<Connect>(get("connect"));
        send = reinterpret_cast<Send>(get("send"));
        recv = reinterpret_cast<Recv>(get("recv"));
        close = reinterpret_cast<Close>(get("closesocket"));
        setopt = reinterpret_cast<SetOpt>(get("setsockopt"));
        return startup && cleanup && socket && connect && send && recv && close && setopt;
    }
};

Ws2 g_ws2;

uint16_t ControlPort() {
    char text[16] = {};
    const DWORD n = GetEnvironmentVariableA("ORV_FAULT_SERVER_PORT", text, sizeof text);
    if (n == 0 || n >= sizeof text) return 0;
    const long port = std::strtol(text, nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
}

}  // namespace

bool FaultServer::Available() {
    if (ControlPort() == 0) {
        error_ = "ORV_FAULT_SERVER_PORT is not set: run through tests/tools/with_fault_server.py";
        return false;
    }
    if (!g_ws2.Load()) {
        error_ = "ws2_32 cannot be loaded";
        return false;
    }
    if (Request("PING") != "OK") {
        error_ = "the fault server does not answer";
        return false;
    }
    return true;
}

std::string FaultServer::Request(const std::string& line, int timeoutSeconds) {
    const uint16_t port = ControlPort();
    if (port == 0 || !g_ws2.Load()) return {};
    WSADATA data;
    if (g_ws2.startup(0x0202, &data) != 0) return {};
    std::string answer;
    const SOCKET s = g_ws2.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        const DWORD ms = static_cast<DWORD>(timeoutSeconds + 5) * 1000;
        g_ws2.setopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string request = line + "\n";
        if (g_ws2.connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            g_ws2.send(s, request.data(), static_cast<int>(request.size()), 0) ==
                static_cast<int>(request.size())) {
            char buffer[4096];
            // Answers are bounded by what the test sent; stop at the line end or 16 MiB.
            while (answer.find('\n') == std::string::npos && answer.size() < (16u << 20)) {
                const int n = g_ws2.recv(s, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                answer.append(buffer, static_cast<size_t>(n));
            }
        }
        g_ws2.close(s);
    }
    g_ws2.cleanup();
    const size_t end = answer.find('\n');
    if (end == std::string::npos) return {};
    answer.resize(end);
    return answer;
}

uint16_t FaultServer::PortOf(const std::string& answer) {
    if (answer.rfind("OK ", 0) != 0) {
        error_ = answer.empty() ? "no answer" : answer;
        return 0;
    }
    const long port = std::strtol(answer.c_str() + 3, nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
}

uint16_t FaultServer::Listen(const std::string& scripts) {
    return PortOf(Request("LISTEN " + scripts));
}

uint16_t FaultServer::ListenLow(const std::string& scripts) {
    return PortOf(Request("LISTEN_LOW " + scripts));
}

uint16_t FaultServer::Refused() {
    return PortOf(Request("REFUSED"));
}

bool FaultServer::Wait(uint16_t port, int index, int seconds, Finished* out) {
    char line[64];
    std::snprintf(line, sizeof line, "WAIT %u %d %d", port, index, seconds);
    const std::string answer = Request(line, seconds);
    if (answer.rfind("OK ", 0) != 0) {
        error_ = answer;
        return false;
    }
    const size_t space = answer.find(' ', 3);
    out->end = answer.substr(3, space == std::string::npos ? std::string::npos : space - 3);
    out->received.clear();
    if (space != std::string::npos) {
        const std::string hex = answer.substr(space + 1);
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            out->received.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return true;
}

int FaultServer::Accepted(uint16_t port) {
    const std::string answer = Request("ACCEPTED " + std::to_string(port));
    return answer.rfind("OK ", 0) == 0 ? std::atoi(answer.c_str() + 3) : -1;
}

std::string AllByteValues() {
    return Pattern(256);
}

std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

// --- import probes -------------------------------------------------------------------------

ImportProbe::ImportProbe(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return;
    for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
        if (desc->OriginalFirstThunk == 0) continue;
        const auto* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            auto** slot = reinterpret_cast<void**>(&slots[i].u1.Function);
            DWORD old = 0;
            if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return;
            original_ = *slot;
            *slot = replacement;
            VirtualProtect(slot, sizeof *slot, old, &old);
            slot_ = slot;
            return;
        }
    }
}

ImportProbe::~ImportProbe() {
    if (slot_ == nullptr) return;
    DWORD old = 0;
    if (VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old)) {
        *slot_ = original_;
        VirtualProtect(slot_, sizeof *slot_, old, &old);
    }
}

SocketCalls g_calls;

namespace {

using GethostbynameFn = hostent*(WINAPI*)(const char*);
using SocketFn = SOCKET(WINAPI*)(int, int, int);
using ClosesocketFn = int(WINAPI*)(SOCKET);
using SendFn = int(WINAPI*)(SOCKET, const char*, int, int);

GethostbynameFn g_realGethostbyname = nullptr;
SocketFn g_realSocket = nullptr;
ClosesocketFn g_realClosesocket = nullptr;
SendFn g_realSend = nullptr;

hostent* WINAPI ProbeGethostbyname(const char* name) {
    g_calls.lookups.push_back(name != nullptr ? name : "");
    return g_realGethostbyname(name);
}

SOCKET WINAPI ProbeSocket(int family, int type, int protocol) {
    const SOCKET s = g_realSocket(family, type, protocol);
    if (s != INVALID_SOCKET) {
        g_calls.opened.push_back(s);
        g_calls.open.push_back(s);
    }
    return s;
}

int WINAPI ProbeClosesocket(SOCKET s) {
    g_calls.closed.push_back(s);
    auto it = std::find(g_calls.open.begin(), g_calls.open.end(), s);
    if (it != g_calls.open.end()) {
        g_calls.open.erase(it);
    } else if (g_calls.closedTwice.empty()) {
        g_calls.closedTwice = "socket " + std::to_string(s) + " closed while not open";
    }
    return g_realClosesocket(s);
}

int WINAPI ProbeSend(SOCKET s, const char* data, int length, int flags) {
    ++g_calls.sends;
    return g_realSend(s, data, length, flags);
}

template <typename Fn>
Fn Keep(const ImportProbe& probe, Fn* real) {
    if (probe.Installed()) *real = reinterpret_cast<Fn>(probe.Original());
    return *real;
}

}  // namespace

SocketProbes::SocketProbes()
    : lookup_("wsock32.dll", "gethostbyname", reinterpret_cast<void*>(ProbeGethostbyname)),
      socket_("wsock32.dll", "socket", reinterpret_cast<void*>(ProbeSocket)),
      close_("wsock32.dll", "closesocket", reinterpret_cast<void*>(ProbeClosesocket)),
      send_("wsock32.dll", "send", reinterpret_cast<void*>(ProbeSend)) {
    Keep(lookup_, &g_realGethostbyname);
    Keep(socket_, &g_realSocket);
    Keep(close_, &g_realClosesocket);
    Keep(send_, &g_realSend);
}

bool SocketProbes::Installed() const {
    return lookup_.Installed() && socket_.Installed() && close_.Installed() && send_.Installed();
}

// --- window and pump -----------------------------------------------------------------------

std::vector<HostMessage> g_hostMessages;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kProbeMessage || message == kSocketMessage || message == WM_NCDESTROY)
        g_hostMessages.push_back({window, message, wParam, lParam});
    if (message == kProbeMessage) return static_cast<LRESULT>(wParam * 3 + lParam + 7);
    return DefWindowProcA(window, message, wParam, lParam);
}

namespace {

const char* WindowClass() {
    static const char* name = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = HostWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "OrvNetTestWindow";
        RegisterClassA(&wc);
        return "OrvNetTestWindow";
    }();
    return name;
}

}  // namespace

TestWindow::TestWindow() {
    window_ = CreateWindowExA(0, WindowClass(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
}

TestWindow::~TestWindow() {
    Destroy();
}

void TestWindow::Destroy() {
    if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    window_ = nullptr;
}

WNDPROC TestWindow::Procedure() const {
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window_, GWLP_WNDPROC));
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            if (done()) return true;
        }
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

// --- recorder ------------------------------------------------------------------------------

Event& Recorder::Record(char kind) {
    Event e;
    e.kind = kind;
    e.currentSocket = SocketModule::CurrentSocket;
    e.isConnected = SocketModule::IsConnected;
    e.windowBorrowed = SocketModule::BorrowedWindow != nullptr;
    events.push_back(e);
    return events.back();
}

void Recorder::OnConnect() {
    Record('C');
    if (onConnect) onConnect();
}

void Recorder::OnDisconnect() {
    Record('D');
    if (onDisconnect) onDisconnect();
}

void Recorder::OnReceive(const std::string& data) {
    Record('R').data = data;
    if (onReceive) onReceive(data);
}

void Recorder::OnAccept(int32_t value) {
    Record('A').code = value;
}

void Recorder::OnError(int32_t errorId) {
    Record('E').code = errorId;
    if (onError) onError(errorId);
}

std::string Recorder::Kinds() const {
    std::string kinds;
    for (const Event& e : events) kinds.push_back(e.kind);
    return kinds;
}

std::string Recorder::Course() const {
    std::string course;
    for (const Event& e : events)
        if (!(e.kind == 'R' && !course.empty() && course.back() == 'R')) course.push_back(e.kind);
    return course;
}

std::string Recorder::Received() const {
    std::string all;
    for (const Event& e : events)
        if (e.kind == 'R') all += e.data;
    return all;
}

int Recorder::Count(char kind) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [kind](const Event& e) { return e.kind == kind; }));
}

}  // namespace orv::net::test
