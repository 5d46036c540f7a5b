#include "SimControl.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLen = int;
#define CLOSE_SOCKET closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#define CLOSE_SOCKET close
#endif

namespace testsupport {

SimControl::SimControl(int com) {
#if defined(_WIN32)
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
    const char* port = std::getenv(("MCSIM_COM" + std::to_string(com)).c_str());
    if (!port) return;
    auto s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(std::atoi(port)));
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        CLOSE_SOCKET(s);
        return;
    }
    m_socket = static_cast<long long>(s);
}

SimControl::~SimControl() {
    if (m_socket != -1) CLOSE_SOCKET(m_socket);
}

std::string SimControl::Send(const std::string& command) {
    if (m_socket == -1) return "error not connected";
    std::string line = command + "\n";
    send(m_socket, line.data(), static_cast<int>(line.size()), 0);
    for (;;) {
        size_t nl = m_pending.find('\n');
        if (nl != std::string::npos) {
            std::string reply = m_pending.substr(0, nl);
            m_pending.erase(0, nl + 1);
            return reply;
        }
        char buf[256];
        int n = static_cast<int>(recv(m_socket, buf, sizeof buf, 0));
        if (n <= 0) return "error connection closed";
        m_pending.append(buf, static_cast<size_t>(n));
    }
}

long SimControl::Get(int station, const std::string& key) {
    std::string reply = Send("get " + std::to_string(station));
    size_t at = reply.find(" " + key + "=");
    if (at == std::string::npos) return -1;
    return std::strtol(reply.c_str() + at + key.size() + 2, nullptr, 0);
}

}  // namespace testsupport
