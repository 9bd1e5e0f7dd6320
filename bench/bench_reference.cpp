// The floor for the control's socket design under Wine: Windows Sockets 1.1 in asynchronous
// notification mode on a message-only window, one recv of at most 16 KiB per read
// notification, each body piece written to the file as it arrives. No COM, no events, no
// copies: what any program of this design must at least spend.
//
//   bench_reference PORT PATH OUTFILE
//
// Fetches http://127.0.0.1:PORT/PATH with one HTTP/1.0 GET; prints one JSON line.
#include <windows.h>

#include <winsock.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench_util.h"

namespace orv::bench {
namespace {

constexpr UINT kSocketMessage = WM_USER + 1;
constexpr int kReadSize = 16384;

struct Transfer {
    SOCKET socket = INVALID_SOCKET;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string request;
    std::string header;  // until its end has arrived
    bool headerSeen = false;
    bool done = false;
    bool failed = false;
    int64_t bodyBytes = 0;
    int64_t reads = 0;
    double firstRead = 0;
    double lastRead = 0;
    char buffer[kReadSize];

    void Write(const char* data, int n) {
        DWORD written = 0;
        if (n > 0 && (!WriteFile(file, data, static_cast<DWORD>(n), &written, nullptr) ||
                      written != static_cast<DWORD>(n)))
            failed = true;
        bodyBytes += n;
    }

    void OnRead() {
        const int n = recv(socket, buffer, kReadSize, 0);
        if (n <= 0) return;
        if (reads++ == 0) firstRead = Now();
        lastRead = Now();
        if (headerSeen) {
            Write(buffer, n);
            return;
        }
        header.append(buffer, static_cast<std::size_t>(n));
        const std::size_t end = header.find("\r\n\r\n");
        if (end == std::string::npos) return;
        headerSeen = true;
        if (header.compare(0, 12, "HTTP/1.1 200") != 0 &&
            header.compare(0, 12, "HTTP/1.0 200") != 0)
            failed = true;
        Write(header.data() + end + 4, static_cast<int>(header.size() - end - 4));
        header.clear();
    }
};

Transfer* g_transfer = nullptr;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != kSocketMessage || g_transfer == nullptr ||
        static_cast<SOCKET>(wp) != g_transfer->socket)
        return DefWindowProcA(hwnd, msg, wp, lp);
    Transfer& t = *g_transfer;
    const int event = WSAGETSELECTEVENT(lp);
    const int error = WSAGETSELECTERROR(lp);
    if (error != 0 && event != FD_CLOSE) {
        t.failed = t.done = true;
        return 0;
    }
    switch (event) {
        case FD_CONNECT:
            send(t.socket, t.request.data(), static_cast<int>(t.request.size()), 0);
            break;
        case FD_READ: t.OnRead(); break;
        case FD_CLOSE:
            closesocket(t.socket);
            t.socket = INVALID_SOCKET;
            t.done = true;
            break;
        default: break;
    }
    return 0;
}

int Run(int argc, char** argv) {
    if (argc < 4) return Fail("usage: bench_reference PORT PATH OUTFILE");
    const auto port = static_cast<u_short>(std::strtol(argv[1], nullptr, 10));
    const std::string path = argv[2];
    const std::string out = argv[3];

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) return Fail("WSAStartup failed");
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "OrvaneBenchReference";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
    if (!window) return Fail("no window");

    static Transfer t;
    t.request = "GET /" + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
    const Memory idle = ProcessMemory();

    const double start = Now();
    t.file = CreateNewFile(out);
    if (t.file == INVALID_HANDLE_VALUE) return Fail("cannot create " + out);
    t.socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (t.socket == INVALID_SOCKET) return Fail("no socket");
    g_transfer = &t;
    if (WSAAsyncSelect(t.socket, window, kSocketMessage, FD_CONNECT | FD_READ | FD_CLOSE) != 0)
        return Fail("WSAAsyncSelect failed");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(t.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
        WSAGetLastError() != WSAEWOULDBLOCK)
        return Fail("connect failed");
    const bool finished = PumpUntil([] { return g_transfer->done; }, 1800);
    CloseHandle(t.file);
    const double seconds = Now() - start;
    const Memory end = ProcessMemory();
    if (!finished || t.failed) return Fail("the transfer failed");

    Report report;
    report.Add("contender", "reference").Add("mode", "download").Add("ok", true);
    report.Add("seconds", seconds).Add("bytes", t.bodyBytes).Add("file_bytes", FileSize(out));
    report.Add("pieces", t.reads).Add("first_piece_seconds", t.firstRead - start);
    report.Add("after_last_piece_seconds", start + seconds - t.lastRead)
        .AddMemory("idle_", idle)
        .AddMemory("", end);
    report.Print();
    DestroyWindow(window);
    WSACleanup();
    return 0;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
    return orv::bench::Run(argc, argv);
}
