// The library and its connections: the listening socket, taken from here and handed to the
// library so that a shortage of descriptors or one greedy host is met here; the connections'
// limits and time for a head; the library run from the service's loop.
#include "web/web_server.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "net/tcp_server.h"
#include "web/web_state.h"

namespace tessel {

namespace {

using State = WebServer::State;

// Room for the request head with its arguments, the response head and a stream's next piece;
// heads past 8 KiB that still fit are refused by our own count, larger ones by the library.
constexpr std::size_t kConnectionMemory = 64 * 1024;
// Every address's streams and requests; one address gets at most kConnectionsPerAddress, so
// others (a liveness probe's /healthz) always find room.
constexpr unsigned kConnectionLimit = 128;
// Idle keep-alive connections are closed by the head rule first; this only backs it up.
constexpr unsigned kIdleSeconds = 30;
// New connections taken per run, so that a flood of them leaves the loop its other work.
constexpr int kAcceptsPerRun = 64;

std::string addressText(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = "";
    if (addr == nullptr) return {};
    if (addr->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
    } else if (addr->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        }
    }
    return text;
}

// Bytes the peer sent on this socket so far, as the kernel counts them.
std::uint64_t bytesReceived(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    // Unknown (an error, or a kernel or emulator that fills less of the record): not idle.
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 1;
    if (length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return 1;
    return info.tcpi_bytes_received;
}

int connectionFd(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info != nullptr ? info->connect_fd : -1;
}

void notifyConnection(void* cls, MHD_Connection* c, void** socketContext, MHD_ConnectionNotificationCode code) {
    State& s = *static_cast<State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const std::string address = connectionAddress(c);
        s.peers.push_back({c, connectionFd(c), address, s.clock.elapsedMillis()});
        ++s.connectionsByAddress[address];
        *socketContext = &s.peers.back();
    } else {
        auto* peer = static_cast<WebPeer*>(*socketContext);
        if (peer == nullptr) return;
        // Closed before any request came whole: not HTTP, a head too large for the library, or
        // a peer that left (those the head rule cut off are counted as 408 already).
        if (!peer->anyHead && !peer->cutOff) ++s.withoutRequest;
        if (const auto it = s.connectionsByAddress.find(peer->address);
            it != s.connectionsByAddress.end() && --it->second <= 0) {
            s.connectionsByAddress.erase(it);
        }
        s.peers.remove_if([peer](const WebPeer& p) { return &p == peer; });
        *socketContext = nullptr;
    }
}

void requestCompleted(void* cls, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
    State& s = *static_cast<State*>(cls);
    if (WebPeer* p = peerOf(c)) {
        // A kept-alive connection has the same time for its next head.
        p->headDone = false;
        p->headSince = s.clock.elapsedMillis();
    }
}

// New connections, handed to the library, which refuses those over its limits; without
// descriptors, refused here at once, so the listener never stays readable for nothing.
void acceptPending(State& s) {
    for (int i = 0; i < kAcceptsPerRun; ++i) {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        const int fd = ::accept4(s.listener.get(), reinterpret_cast<sockaddr*>(&addr), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // None waiting, or one that left already, or no more to refuse.
            if (!outOfDescriptors(errno) || !s.reserve.refuse(s.listener.get())) return;
            ++s.refusedConnections["descriptors"];
            continue;
        }
        s.reserve.ended();
        const std::string address = addressText(reinterpret_cast<const sockaddr*>(&addr));
        if (!s.settings.peer.empty() && address != s.settings.peer) {
            ::close(fd);
            ++s.refusedConnections["not_the_peer"];
            continue;
        }
        const auto held = s.connectionsByAddress.find(address);
        const bool full = held != s.connectionsByAddress.end() && held->second >= kConnectionsPerAddress;
        // The library closes the socket when it does not take it.
        if (MHD_add_connection(s.daemon, fd, reinterpret_cast<const sockaddr*>(&addr), length) != MHD_YES) {
            ++s.refusedConnections[full ? "per_address" : "connection_limit"];
        }
    }
}

bool isIpv6(int fd) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 && addr.ss_family == AF_INET6;
}

std::uint16_t boundPort(int fd) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
}

}  // namespace

WebPeer* peerOf(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<WebPeer*>(info->socket_context) : nullptr;
}

void cutOffConnection(MHD_Connection* c) {
    const int fd = connectionFd(c);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

std::string connectionAddress(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info != nullptr ? addressText(info->client_addr) : std::string();
}

WebServer::WebServer(WebMonitor& monitor, Clock& clock, WebContent content)
    : state_(std::make_unique<State>(monitor, clock, std::move(content))) {
    state_->server = this;
}

WebServer::~WebServer() {
    State& s = *state_;
    if (s.daemon == nullptr) return;
    // Sleeping streams are woken to end, so that the library lets go of every connection.
    endStreams(s);
    MHD_run(s.daemon);
    MHD_stop_daemon(s.daemon);
}

bool WebServer::start(const WebSettings& settings, std::string& error) {
    State& s = *state_;
    s.settings = settings;
    s.tls = !settings.certificatePem.empty();
    s.listener = openListener(settings.address, settings.port);
    if (!s.listener.valid()) {
        error = std::strerror(errno);
        return false;
    }
    s.port = boundPort(s.listener.get());
    unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET;
    if (isIpv6(s.listener.get())) flags |= MHD_USE_IPv6;
    if (s.tls) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            error = "this build of libmicrohttpd has no TLS";
            return false;
        }
        flags |= MHD_USE_TLS;
    }
    s.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handleWebRequest, &s, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(kConnectionsPerAddress),
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_NOTIFY_CONNECTION, &notifyConnection, &s, MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, &s,
        MHD_OPTION_STRICT_FOR_CLIENT, 1, s.tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END,
        settings.certificatePem.c_str(), MHD_OPTION_HTTPS_MEM_KEY, settings.keyPem.c_str(),
        MHD_OPTION_HTTPS_PRIORITIES, kWebTlsPriorities, MHD_OPTION_END);
    if (s.daemon == nullptr) {
        s.listener.reset();
        error = s.tls ? "the TLS certificate or key was not accepted by the web server" : "the web server did not start";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(s.daemon, MHD_DAEMON_INFO_EPOLL_FD);
    s.epollFd = info != nullptr ? info->epoll_fd : -1;
    s.lastKeepAliveMillis = s.clock.elapsedMillis();
    return true;
}

int WebServer::descriptor() const { return state_->epollFd; }

int WebServer::listenerDescriptor() const { return state_->listener.get(); }

std::uint16_t WebServer::port() const { return state_->port; }

Deadline WebServer::deadline() {
    State& s = *state_;
    Deadline due;
    const auto take = [&due](std::int64_t at) { due = nearest({due, at}); };
    MHD_UNSIGNED_LONG_LONG libraryMillis = 0;
    s.libraryDue = std::numeric_limits<std::int64_t>::max();
    if (MHD_get_timeout(s.daemon, &libraryMillis) == MHD_YES) {
        // The library counts from now; the one reading of the clock it needs.
        const auto libraryWait = static_cast<std::int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(libraryMillis, kIdleWaitMillis));
        s.libraryDue = s.clock.elapsedMillis() + libraryWait;
        take(s.libraryDue);
    }
    if (s.monitor.hasPending()) take(s.lastBatchMillis + kBatchIntervalMillis);
    if (!s.streams.empty()) take(s.lastKeepAliveMillis + kStreamKeepAliveMillis);
    for (const WebPeer& p : s.peers) {
        if (!p.headDone && !p.cutOff) take(p.headSince + kRequestHeadMillis);
        if (!p.firstByteSeen && !p.cutOff) take(p.headSince + kFirstByteMillis);
    }
    return due;
}

void WebServer::sawReady(bool library, bool listener) {
    state_->librarySeen = library;
    state_->listenerSeen = listener;
}

void WebServer::run() {
    State& s = *state_;
    const std::int64_t now = s.clock.elapsedMillis();
    const std::size_t peersBefore = s.peers.size();
    bool work = s.librarySeen || now >= s.libraryDue;
    if (s.listenerSeen) acceptPending(s);
    work = work || s.peers.size() != peersBefore;
    for (WebPeer& p : s.peers) {
        // Nothing at all within 2 s: a connection held for nothing, let go long before a slow
        // head's 10 s, so that one host's idle connections cannot crowd the others out.
        if (!p.firstByteSeen && !p.cutOff && now - p.headSince >= kFirstByteMillis) {
            p.firstByteSeen = bytesReceived(p.fd) > 0;
            if (!p.firstByteSeen) {
                p.cutOff = true;
                ++s.refusedConnections["idle"];
                cutOffConnection(p.connection);
                work = true;
                continue;
            }
        }
        if (p.headDone || p.cutOff || now - p.headSince < kRequestHeadMillis) continue;
        // A head that never completes holds a connection for nothing. Over TLS no plain
        // answer can be given, so the connection is only closed.
        p.cutOff = true;
        ++s.refused[MHD_HTTP_REQUEST_TIMEOUT];
        if (!s.tls) {
            static constexpr char kTimedOut[] =
                "HTTP/1.1 408 Request Timeout\r\nContent-Type: text/plain; charset=utf-8\r\n"
                "Content-Length: 37\r\nConnection: close\r\n\r\nno complete request head within 10 s\n";
            [[maybe_unused]] const ssize_t sent = ::send(p.fd, kTimedOut, sizeof kTimedOut - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        cutOffConnection(p.connection);
        work = true;
    }
    // Every page gets the same batch, at most ten times a second.
    if (s.monitor.hasPending() && now - s.lastBatchMillis >= kBatchIntervalMillis) {
        s.lastBatchMillis = now;
        s.freshSnapshot.reset();
        deliverEvent(s, std::make_shared<const std::string>(s.monitor.takeBatch()));
        work = true;
    }
    if (now - s.lastKeepAliveMillis >= kStreamKeepAliveMillis) {
        s.lastKeepAliveMillis = now;
        static const auto keepAlive = std::make_shared<const std::string>(": keep-alive\n\n");
        deliverEvent(s, keepAlive);
        work = true;
    }
    if (work) MHD_run(s.daemon);
    s.librarySeen = s.listenerSeen = true;  // until the next wait says otherwise
}

std::size_t WebServer::streamCount() const { return state_->streams.size(); }

std::int64_t WebServer::droppedStreams() const { return state_->dropped; }

const std::map<int, std::int64_t>& WebServer::refusals() const { return state_->refused; }

const std::map<std::string, std::int64_t>& WebServer::refusedConnections() const { return state_->refusedConnections; }

const std::map<std::string, std::int64_t>& WebServer::failedLogins() const { return state_->failedLogins; }

std::int64_t WebServer::descriptorShortages() const { return state_->reserve.shortages(); }

std::int64_t WebServer::connectionsWithoutRequest() const { return state_->withoutRequest; }

}  // namespace tessel
