// Who a client is: its address and port as the client list and the journal show them, IPv4
// clients of an IPv6 listener as IPv4.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "net/server_parts.h"

namespace tessel {

namespace {

bool peerName(const NetworkState& net, ClientId id, sockaddr_storage& addr) {
    const Connection* c = findConnection(net, id);
    if (c == nullptr) return false;
    socklen_t len = sizeof addr;
    return ::getpeername(c->socket.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

// The IPv4 address and port of a peer, also of one that reached an IPv6 listener.
bool peerIpv4(const NetworkState& net, ClientId id, sockaddr_in& out) {
    sockaddr_storage addr{};
    if (!peerName(net, id, addr)) return false;
    if (addr.ss_family == AF_INET) {
        out = *reinterpret_cast<const sockaddr_in*>(&addr);
        return true;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    if (addr.ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) return false;
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = v6->sin6_port;
    std::memcpy(&out.sin_addr, v6->sin6_addr.s6_addr + 12, 4);
    return true;
}

}  // namespace

// Built by appending: GCC 12 warns (-Wrestrict, wrongly)
// about a temporary string concatenated with its own parts.
std::string peerText(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "0.0.0.0:0";
    char text[INET6_ADDRSTRLEN] = {};
    std::string peer;
    std::uint16_t port = 0;
    if (addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        peer = text;
        port = ntohs(v4->sin_port);
    } else {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        port = ntohs(v6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            ::inet_ntop(AF_INET, v6->sin6_addr.s6_addr + 12, text, sizeof text);
            peer = text;
        } else {
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            peer.append("[").append(text).append("]");
        }
    }
    peer.append(":").append(std::to_string(port));
    return peer;
}

std::uint32_t clientAddress(const NetworkState& net, ClientId id) {
    sockaddr_in addr{};
    return peerIpv4(net, id, addr) ? addr.sin_addr.s_addr : 0;
}

std::string ipv4Text(std::uint32_t address) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::string clientAddressText(const NetworkState& net, ClientId id) {
    sockaddr_storage addr{};
    sockaddr_in v4{};
    if (peerIpv4(net, id, v4) || !peerName(net, id, addr) || addr.ss_family != AF_INET6) {
        return ipv4Text(v4.sin_addr.s_addr);
    }
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
    return std::string("[") + text + "]";
}

std::uint16_t clientPort(const NetworkState& net, ClientId id) {
    sockaddr_storage addr{};
    if (!peerName(net, id, addr)) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    return 0;
}

}  // namespace tessel
