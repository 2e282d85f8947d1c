// The listeners: the network set up for many clients, listening sockets on an IPv4 or IPv6
// address, each server's guard, and their ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <optional>

#include "net/server_parts.h"

namespace tessel {

namespace {

// An IPv4 or IPv6 listening address and port; nothing for a text that is neither.
std::optional<sockaddr_storage> listenAddress(const std::string& text, std::uint16_t port,
                                              socklen_t& length) {
    sockaddr_storage addr{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    // No address: every IPv4 interface.
    if (::inet_pton(AF_INET, text.empty() ? "0.0.0.0" : text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return addr;
    }
    std::string bare = text;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return addr;
    }
    return std::nullopt;
}

}  // namespace

bool makeNonBlocking(int fd) {
    int on = 1;
    return ::ioctl(fd, FIONBIO, &on) == 0;
}

int initNetwork(NetworkState& net) {
    // A client that resets its connection must never end the process.
    ::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    net.servers.clear();
    net.byId.clear();
    return 1;
}

UniqueFd openListener(const std::string& address, std::uint16_t port) {
    socklen_t length = 0;
    const auto addr = listenAddress(address, port, length);
    if (!addr) {
        errno = EINVAL;
        return UniqueFd();
    }
    UniqueFd fd(::socket(addr->ss_family, SOCK_STREAM, 0));
    if (!fd.valid() || !makeNonBlocking(fd.get())) return UniqueFd();
    // Without this a re-creation right after clients left (their connections linger in
    // TIME_WAIT) is refused. A port another program listens on still fails.
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (addr->ss_family == AF_INET6) {
        int off = 0;  // "::" takes IPv4 clients too
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), length) != 0 ||
        ::listen(fd.get(), 100) != 0) {
        const int error = errno;
        fd.reset();
        errno = error;
        return UniqueFd();
    }
    return fd;
}

int createServer(NetworkState& net, int number, std::int64_t port, const std::string& address) {
    closeServer(net, number);
    net.readinessKnown = false;  // a new listener was not among those polled
    if (port < 0 || port > 65535) return 0;
    UniqueFd fd = openListener(address, static_cast<std::uint16_t>(port));
    if (!fd.valid()) return 0;
    net.servers[number].listener = std::move(fd);
    return 1;
}

void setServerGuard(NetworkState& net, int number, ClientGuard guard) {
    if (const auto it = net.servers.find(number); it != net.servers.end()) it->second.guard = std::move(guard);
}

bool validListenAddress(const std::string& address) {
    socklen_t length = 0;
    return !address.empty() && listenAddress(address, 0, length).has_value();
}

void closeServer(NetworkState& net, int number) {
    std::erase_if(net.byId, [number](const auto& entry) { return number == kAllServers || entry.second.server == number; });
    if (number == kAllServers) {
        net.servers.clear();
    } else {
        net.servers.erase(number);
    }
}

std::uint16_t serverPort(const NetworkState& net, int number) {
    const auto it = net.servers.find(number);
    if (it == net.servers.end()) return 0;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(it->second.listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

}  // namespace tessel
