// TCP clients on loopback for the server tests; every loop is bounded.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "net/tcp_server.h"
#include "platform/unique_fd.h"

namespace tessel::test {

inline UniqueFd connectClient(std::uint16_t port, int receiveBuffer = 0) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (receiveBuffer > 0) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd.reset();
    timeval tv{2, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

inline void sendAll(const UniqueFd& fd, const Bytes& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd.get(), bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

// Reads until `want` bytes came or the peer closed or 2 s passed without data.
inline Bytes receiveAll(const UniqueFd& fd, std::size_t want) {
    Bytes out;
    while (out.size() < want) {
        std::uint8_t buf[4096];
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// Polls until the given event comes (at most about 2 s); returns it or None.
inline NetworkEvent pollFor(NetworkState& net, NetworkEvent wanted) {
    for (int i = 0; i < 2000; ++i) {
        const NetworkEvent e = pollServerEvent(net).what;
        if (e == wanted) return e;
        if (e != NetworkEvent::None) return e;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return NetworkEvent::None;
}

}  // namespace tessel::test
