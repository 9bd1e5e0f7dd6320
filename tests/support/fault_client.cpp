#include "tests/support/fault_client.h"

#include <winsock.h>

#include <cstdio>
#include <cstdlib>

namespace orv::test {

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
        // Network byte order by hand: this file imports nothing from a sockets library.
        address.sin_port = static_cast<u_short>((port >> 8) | ((port & 0xFF) << 8));
        address.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1
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

uint16_t FaultServer::ListenTls(const std::string& scripts) {
    return PortOf(Request("LISTEN_TLS " + scripts));
}

uint16_t FaultServer::Refused() {
    return PortOf(Request("REFUSED"));
}

uint16_t FaultServer::RefusedLow() {
    return PortOf(Request("REFUSED_LOW"));
}

uint16_t FaultServer::FullLow() {
    return PortOf(Request("FULL_LOW"));
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
    const size_t last = answer.rfind(' ');
    out->sent = last > space ? std::atoll(answer.c_str() + last + 1) : -1;
    if (space != std::string::npos) {
        const std::string hex = answer.substr(space + 1, last > space ? last - space - 1 : last);
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            out->received.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return true;
}

int FaultServer::Accepted(uint16_t port, int atLeast) {
    const std::string answer =
        Request("ACCEPTED " + std::to_string(port) + " " + std::to_string(atLeast));
    return answer.rfind("OK ", 0) == 0 ? std::atoi(answer.c_str() + 3) : -1;
}

bool FaultServer::Close(uint16_t port) {
    return Request("CLOSE " + std::to_string(port)) == "OK";
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

std::string JsonText(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
    }
    return out + "\"";
}

}  // namespace orv::test
