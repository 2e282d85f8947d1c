#include "net/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace tessel {

namespace {

bool makeNonBlocking(int fd) {
    int on = 1;
    return ::ioctl(fd, FIONBIO, &on) == 0;
}

Connection* findConnection(NetworkState& net, ClientId id) {
    for (auto& [number, server] : net.servers) {
        for (auto& c : server.connections) {
            if (c.id == id) return &c;
        }
    }
    return nullptr;
}

const Connection* findConnection(const NetworkState& net, ClientId id) {
    return findConnection(const_cast<NetworkState&>(net), id);
}

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

// Keeps the unsent tail; a client whose backlog passes the limit is marked to be dropped.
void keepUnsent(Connection& c, const std::uint8_t* data, std::size_t length) {
    if (c.unsent.size() + length > kClientBacklogLimit) {
        c.overflowed = true;
        Bytes().swap(c.unsent);
        return;
    }
    c.unsent.insert(c.unsent.end(), data, data + length);
}

ssize_t sendRaw(Connection& c, const std::uint8_t* data, std::size_t size) {
    if (c.transport) return c.transport->send(data, size);
    return ::send(c.socket.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t receiveRaw(Connection& c, std::uint8_t* buffer, std::size_t size) {
    if (c.transport) return c.transport->receive(buffer, size);
    return ::recv(c.socket.get(), buffer, size, MSG_DONTWAIT);
}

bool failed(ssize_t n) { return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR; }

void flushUnsent(Connection& c) {
    if (c.unsent.empty() || c.overflowed) return;
    const ssize_t n = sendRaw(c, c.unsent.data(), c.unsent.size());
    if (n > 0) c.unsent.erase(c.unsent.begin(), c.unsent.begin() + n);
}

// A connection that holds or carries bytes of its own reads into its inbox; a plain one is
// only peeked at, so that its Data event takes nothing.
bool readsThroughInbox(const Connection& c) { return c.transport || !c.inbox.empty(); }

// Fills the inbox when it is empty. Returns false when the connection is gone.
bool fillInbox(Connection& c) {
    if (!c.inbox.empty()) return true;
    std::uint8_t buffer[4096];
    const ssize_t n = receiveRaw(c, buffer, sizeof buffer);
    if (n > 0) c.inbox.assign(buffer, buffer + n);
    return n > 0 || (n < 0 && !failed(n));
}

// No descriptor is left for a new client: the reserve makes room to take the connection and
// close it at once, so the client learns it was refused and the listener stops being ready.
void refusePending(NetworkState& net, Server& server) {
    if (!net.reserve.valid()) return;
    net.reserve.reset();
    UniqueFd refused(::accept(server.listener.get(), nullptr, nullptr));
    refused.reset();
    net.reserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

void keepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int));
}

bool mayBeReady(const NetworkState& net, int fd) {
    return !net.readinessKnown ||
           std::binary_search(net.readyDescriptors.begin(), net.readyDescriptors.end(), fd);
}

}  // namespace

int initNetwork(NetworkState& net) {
    // A client that resets its connection must never end the process.
    ::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    net.servers.clear();
    net.reserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
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

int clientServer(const NetworkState& net, ClientId id) {
    for (const auto& [number, server] : net.servers) {
        for (const auto& c : server.connections) {
            if (c.id == id) return number;
        }
    }
    return -1;
}

bool validListenAddress(const std::string& address) {
    socklen_t length = 0;
    return !address.empty() && listenAddress(address, 0, length).has_value();
}

namespace {

// "address:port" of a socket's peer. Built by appending: GCC 12 warns (-Wrestrict, wrongly)
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

enum class Entry { Entering, Admitted, Refused };

// One step of a client on its way in: the TLS handshake, then the key. Nothing it sends before
// it is admitted is traffic; the bytes after the key are.
Entry advanceEntry(Connection& c, std::int64_t now, std::string& reason) {
    if (now > c.admitBy) {
        reason = !c.handshaken ? "no TLS handshake within 10 s"
                 : c.gate         ? "no complete key within 5 s: " + std::to_string(c.gate->received()) +
                                        " of " + std::to_string(c.gate->keyLength()) + " bytes came"
                                  : "no complete key within 5 s";
        return Entry::Refused;
    }
    if (!c.handshaken) {
        const Transport::Progress p = c.transport->handshake();
        if (p == Transport::Progress::Failed) {
            reason = "TLS handshake failed";
            return Entry::Refused;
        }
        c.handshakeWantsWrite = p == Transport::Progress::WantWrite;
        if (p != Transport::Progress::Done) return Entry::Entering;
        c.handshaken = true;
        if (!c.gate) return Entry::Admitted;
        c.admitBy = now + kKeyMillis;
    }
    while (c.gate->state() == KeyGate::State::Waiting) {
        if (!fillInbox(c)) {
            reason = "left before its key was complete";
            return Entry::Refused;
        }
        if (c.inbox.empty()) return Entry::Entering;
        const std::size_t used = c.gate->take(c.inbox);
        c.inbox.erase(c.inbox.begin(), c.inbox.begin() + static_cast<std::ptrdiff_t>(used));
    }
    if (c.gate->state() == KeyGate::State::Refused) {
        reason = "wrong key";
        return Entry::Refused;
    }
    return Entry::Admitted;
}

bool entryMayMove(const NetworkState& net, const Connection& c, std::int64_t now) {
    return mayBeReady(net, c.socket.get()) || now > c.admitBy ||
           (c.transport && c.transport->hasBuffered());
}

}  // namespace

NetworkEvent pollServerEvent(NetworkState& net, bool takeData, std::int64_t now) {
    for (auto& [number, server] : net.servers) {
        if (!mayBeReady(net, server.listener.get())) continue;
        UniqueFd accepted(::accept(server.listener.get(), nullptr, nullptr));
        if (!accepted.valid()) {
            if (errno == EMFILE || errno == ENFILE) refusePending(net, server);
            continue;
        }
        makeNonBlocking(accepted.get());
        keepAlive(accepted.get());
        Connection c;
        c.socket = std::move(accepted);
        c.id = net.nextId++;
        if (server.guard.active()) {
            // It counts as connected once it is through; until then it gets nothing.
            c.peer = peerText(c.socket.get());
            if (server.guard.transports) {
                c.transport = server.guard.transports(c.socket.get());
                c.handshaken = false;
            }
            if (!server.guard.key.empty()) c.gate.emplace(server.guard.key);
            c.admitBy = now + (c.handshaken ? kKeyMillis : kHandshakeMillis);
            server.entering.push_back(std::move(c));
            break;
        }
        server.connections.push_front(std::move(c));
        net.eventClient = server.connections.front().id;
        return NetworkEvent::Connect;
    }

    for (auto& [number, server] : net.servers) {
        for (auto it = server.entering.begin(); it != server.entering.end(); ++it) {
            if (!entryMayMove(net, *it, now)) continue;
            std::string reason;
            const Entry entry = advanceEntry(*it, now, reason);
            if (entry == Entry::Entering) continue;
            net.eventClient = it->id;
            if (entry == Entry::Refused) {
                net.refused = {it->peer, reason, number};
                server.entering.erase(it);
                return NetworkEvent::Refused;
            }
            server.connections.splice(server.connections.begin(), server.entering, it);
            return NetworkEvent::Connect;
        }
    }

    for (auto& [number, server] : net.servers) {
        for (auto& c : server.connections) flushUnsent(c);
    }

    for (auto& [number, server] : net.servers) {
        for (auto it = server.connections.begin(); it != server.connections.end(); ++it) {
            bool gone = it->overflowed;
            const bool buffered = !it->inbox.empty() || (it->transport && it->transport->hasBuffered());
            if (!gone && !buffered && !mayBeReady(net, it->socket.get())) continue;
            if (!gone && readsThroughInbox(*it)) {
                if (!takeData && it->inbox.empty()) continue;
                gone = !fillInbox(*it);
                if (!gone && !it->inbox.empty()) {
                    if (!takeData) continue;
                    net.eventClient = it->id;
                    return NetworkEvent::Data;
                }
            } else if (!gone) {
                std::uint8_t peek[8];
                const ssize_t n = ::recv(it->socket.get(), peek, sizeof peek,
                                         MSG_PEEK | MSG_DONTWAIT);
                if (n > 0) {
                    if (!takeData) continue;
                    net.eventClient = it->id;
                    return NetworkEvent::Data;
                }
                // A reset connection reports an error forever: it is gone as surely as a
                // closed one.
                gone = n == 0 || failed(n);
            }
            if (gone) {
                net.eventClient = it->id;
                server.connections.erase(it);
                return NetworkEvent::Disconnect;
            }
        }
    }
    return NetworkEvent::None;
}

const Refusal& refusedClient(const NetworkState& net) { return net.refused; }

std::optional<std::int64_t> nextAdmissionDeadline(const NetworkState& net) {
    std::optional<std::int64_t> next;
    for (const auto& [number, server] : net.servers) {
        for (const auto& c : server.entering) {
            if (!next || c.admitBy + 1 < *next) next = c.admitBy + 1;
        }
    }
    return next;
}

bool networkHasBufferedInput(const NetworkState& net) {
    for (const auto& [number, server] : net.servers) {
        for (const auto* list : {&server.connections, &server.entering}) {
            for (const auto& c : *list) {
                if ((c.transport && c.transport->hasBuffered()) ||
                    (!c.inbox.empty() && list == &server.connections)) {
                    return true;
                }
            }
        }
    }
    return false;
}

ClientId eventClient(const NetworkState& net) { return net.eventClient; }

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

std::int64_t receiveFromClient(NetworkState& net, ClientId id, std::uint8_t* buffer,
                               std::int64_t size) {
    Connection* c = findConnection(net, id);
    if (c == nullptr || size <= 0) return -1;
    if (!c->inbox.empty()) {
        const std::size_t n = std::min(c->inbox.size(), static_cast<std::size_t>(size));
        std::copy_n(c->inbox.begin(), n, buffer);
        c->inbox.erase(c->inbox.begin(), c->inbox.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<std::int64_t>(n);
    }
    return receiveRaw(*c, buffer, static_cast<std::size_t>(size));
}

namespace {

void sendTo(Connection& c, const std::uint8_t* data, std::int64_t length) {
    if (c.overflowed || length <= 0) return;
    const auto size = static_cast<std::size_t>(length);
    if (!c.unsent.empty()) {
        flushUnsent(c);
        if (!c.unsent.empty()) {
            keepUnsent(c, data, size);
            return;
        }
    }
    const ssize_t n = sendRaw(c, data, size);
    if (n < 0) {
        if (failed(n)) return;  // dead: the poll reports it
        keepUnsent(c, data, size);
        return;
    }
    if (static_cast<std::size_t>(n) < size) keepUnsent(c, data + n, size - static_cast<std::size_t>(n));
}

}  // namespace

void sendToClient(NetworkState& net, ClientId id, const std::uint8_t* data, std::int64_t length) {
    if (Connection* c = findConnection(net, id)) sendTo(*c, data, length);
}

void sendToAllClients(NetworkState& net, const std::uint8_t* data, std::int64_t length) {
    for (auto& [number, server] : net.servers) {
        for (auto it = server.connections.rbegin(); it != server.connections.rend(); ++it) {
            sendTo(*it, data, length);
        }
    }
}

void closeServer(NetworkState& net, int number) {
    if (number == kAllServers) {
        net.servers.clear();
    } else {
        net.servers.erase(number);
    }
}

void collectNetworkDescriptors(const NetworkState& net, bool takeData, std::vector<pollfd>& fds) {
    for (const auto& [number, server] : net.servers) {
        fds.push_back({server.listener.get(), POLLIN, 0});
        for (const auto& c : server.connections) {
            short events = 0;
            if (takeData || c.overflowed) events |= POLLIN;
            if (!c.unsent.empty() || c.overflowed) events |= POLLOUT;
            if (events != 0) fds.push_back({c.socket.get(), events, 0});
        }
        // A TLS handshake may wait for room to write as well as for bytes.
        for (const auto& c : server.entering) {
            fds.push_back({c.socket.get(), static_cast<short>(POLLIN | (c.handshakeWantsWrite ? POLLOUT : 0)), 0});
        }
    }
}

void noteReadyDescriptors(NetworkState& net, std::span<const pollfd> polled) {
    net.readinessKnown = true;
    net.readyDescriptors.clear();
    for (const pollfd& p : polled) {
        if (p.revents != 0) net.readyDescriptors.push_back(p.fd);
    }
    std::sort(net.readyDescriptors.begin(), net.readyDescriptors.end());
}

std::size_t connectionCount(const NetworkState& net) {
    std::size_t n = 0;
    for (const auto& [number, server] : net.servers) n += server.connections.size();
    return n;
}

bool clientHasInput(const NetworkState& net, ClientId id) {
    const Connection* c = findConnection(net, id);
    if (c == nullptr) return false;
    if (!c->inbox.empty() || (c->transport && c->transport->hasBuffered())) return true;
    std::uint8_t byte;
    return ::recv(c->socket.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
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
