#include "tests/net/net_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/net/winsock_api.h"

namespace orv::net::test {

SocketCalls g_calls;

namespace {

using GethostbynameFn = hostent*(WINAPI*)(const char*);
using SocketFn = SOCKET(WINAPI*)(int, int, int);
using ClosesocketFn = int(WINAPI*)(SOCKET);
using SendFn = int(WINAPI*)(SOCKET, const char*, int, int);
using ConnectFn = int(WINAPI*)(SOCKET, const sockaddr*, int);

GethostbynameFn g_realGethostbyname = nullptr;
SocketFn g_realSocket = nullptr;
ClosesocketFn g_realClosesocket = nullptr;
SendFn g_realSend = nullptr;
ConnectFn g_realConnect = nullptr;

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

int WINAPI ProbeConnect(SOCKET s, const sockaddr* address, int length) {
    if (g_calls.connectFailure != 0) {
        WSASetLastError(g_calls.connectFailure);
        return SOCKET_ERROR;
    }
    return g_realConnect(s, address, length);
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
      send_("wsock32.dll", "send", reinterpret_cast<void*>(ProbeSend)),
      connect_("wsock32.dll", "connect", reinterpret_cast<void*>(ProbeConnect)) {
    Keep(lookup_, &g_realGethostbyname);
    Keep(socket_, &g_realSocket);
    Keep(close_, &g_realClosesocket);
    Keep(send_, &g_realSend);
    Keep(connect_, &g_realConnect);
}

bool SocketProbes::Installed() const {
    return lookup_.Installed() && socket_.Installed() && close_.Installed() && send_.Installed() &&
           connect_.Installed();
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

// --- recorder ------------------------------------------------------------------------------

Event& Recorder::Record(char kind) {
    Event e;
    e.kind = kind;
    if (socket != nullptr) {
        e.currentSocket = socket->Slot().CurrentSocket;
        e.isConnected = socket->Slot().IsConnected;
        e.windowBorrowed = socket->Slot().BorrowedWindow != nullptr;
    }
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
