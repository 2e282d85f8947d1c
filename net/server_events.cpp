// The event poll: one look at the listeners and the clients that turns what is ready into one
// event (a client connected, sent data, left, or was refused at the door), and the descriptors
// the caller's wait should watch.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/server_parts.h"

namespace tessel {

namespace {

void keepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int));
}

}  // namespace

bool mayBeReady(const NetworkState& net, int fd) {
    return !net.readinessKnown ||
           std::binary_search(net.readyDescriptors.begin(), net.readyDescriptors.end(), fd);
}

namespace {

// Bytes the TLS layer or the inbox already holds, which no descriptor shows.
bool holdsBytes(const Connection& c) { return !c.inbox.empty() || (c.transport && c.transport->hasBuffered()); }

bool takesData(const NetworkState& net, const Connection& c) { return !net.heldBack.contains(c.id); }

// Known to have something: its descriptor was ready at the last wait, or its layer holds bytes.
bool knownReady(const NetworkState& net, const Connection& c) {
    const bool takeData = takesData(net, c);
    if (c.overflowed) return true;
    if (holdsBytes(c)) return takeData;
    return net.readinessKnown && takeData && mayBeReady(net, c.socket.get());
}

// Another event was reported before these clients, known to have something, had their turn:
// they go first next time, so a storm of connections or of newer clients' events never keeps
// an older client waiting for ever.
void passOver(NetworkState& net, const Connection* served, std::int64_t lookedAt) {
    net.clientsOwed = false;
    for (auto& [number, server] : net.servers) {
        for (auto& c : server.connections) {
            if (&c == served || c.lookedAt == lookedAt) continue;
            if (knownReady(net, c)) c.passedOver = true;
            net.clientsOwed = net.clientsOwed || c.passedOver;
        }
    }
}

// What one client has: Data, Disconnect (it is gone), or None.
NetworkEvent clientEvent(NetworkState& net, Connection& c) {
    c.lookedAt = net.polls;
    const bool takeData = takesData(net, c);
    bool gone = c.overflowed;
    if (!gone && !holdsBytes(c) && !mayBeReady(net, c.socket.get())) return NetworkEvent::None;
    if (!gone && readsThroughInbox(c)) {
        if (!takeData && c.inbox.empty()) return NetworkEvent::None;
        gone = !fillInbox(c);
        if (!gone && !c.inbox.empty()) return takeData ? NetworkEvent::Data : NetworkEvent::None;
    } else if (!gone) {
        std::uint8_t peek[8];
        const ssize_t n = ::recv(c.socket.get(), peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return takeData ? NetworkEvent::Data : NetworkEvent::None;
        // A reset connection reports an error forever: it is gone as surely as a closed one.
        gone = n == 0 || failed(n);
    }
    return gone ? NetworkEvent::Disconnect : NetworkEvent::None;
}

// One client's turn: its event, the others that had something marked, a gone one forgotten.
NetworkEvent turnOf(NetworkState& net, Server& server, std::list<Connection>::iterator it) {
    const NetworkEvent event = clientEvent(net, *it);
    if (event == NetworkEvent::None) return event;
    net.eventClient = it->id;
    passOver(net, &*it, net.polls);
    if (event == NetworkEvent::Disconnect) {
        net.byId.erase(it->id);
        server.connections.erase(it);
    }
    return event;
}

// Clients passed over before, oldest first; then, with `all`, the others newest first.
NetworkEvent clientsEvent(NetworkState& net, bool all) {
    for (auto& [number, server] : net.servers) {
        for (auto it = server.connections.end(); it != server.connections.begin();) {
            --it;
            if (!it->passedOver) continue;
            it->passedOver = false;
            if (const NetworkEvent event = turnOf(net, server, it); event != NetworkEvent::None) return event;
        }
    }
    net.clientsOwed = false;
    if (!all) return NetworkEvent::None;
    for (auto& [number, server] : net.servers) {
        for (auto it = server.connections.begin(); it != server.connections.end(); ++it) {
            if (it->lookedAt == net.polls) continue;
            if (const NetworkEvent event = turnOf(net, server, it); event != NetworkEvent::None) return event;
        }
    }
    return NetworkEvent::None;
}

}  // namespace

namespace {

NetworkEvent nextEvent(NetworkState& net, std::int64_t now) {
    ++net.polls;
    // Clients passed over by the last events come before new connections.
    if (net.clientsOwed) {
        if (const NetworkEvent event = clientsEvent(net, false); event != NetworkEvent::None) return event;
    }
    for (auto& [number, server] : net.servers) {
        if (!mayBeReady(net, server.listener.get())) continue;
        UniqueFd accepted(::accept(server.listener.get(), nullptr, nullptr));
        if (!accepted.valid()) {
            if (outOfDescriptors(errno)) net.reserve.refuse(server.listener.get());
            continue;
        }
        net.reserve.ended();
        makeNonBlocking(accepted.get());
        keepAlive(accepted.get());
        Connection c;
        c.socket = std::move(accepted);
        c.id = net.nextId++;
        if (server.guard.active()) {
            // It counts as connected once it is through; until then it gets nothing.
            beginAdmission(c, server.guard, now);
            server.entering.push_back(std::move(c));
            break;
        }
        server.connections.push_front(std::move(c));
        net.eventClient = server.connections.front().id;
        net.byId[net.eventClient] = {&server.connections.front(), number};
        passOver(net, &server.connections.front(), -1);
        return NetworkEvent::Connect;
    }

    for (auto& [number, server] : net.servers) {
        for (auto it = server.entering.begin(); it != server.entering.end(); ++it) {
            if (!entryMayMove(net, *it, now)) continue;
            Refusal refusal;
            const Entry entry = advanceEntry(*it, now, refusal);
            if (entry == Entry::Entering) continue;
            net.eventClient = it->id;
            if (entry == Entry::Refused) {
                refusal.peer = it->peer;
                refusal.server = number;
                net.refused = std::move(refusal);
                server.entering.erase(it);
                passOver(net, nullptr, -1);
                return NetworkEvent::Refused;
            }
            server.connections.splice(server.connections.begin(), server.entering, it);
            net.byId[it->id] = {&*it, number};
            passOver(net, &server.connections.front(), -1);
            return NetworkEvent::Connect;
        }
    }

    for (auto& [number, server] : net.servers) {
        for (auto& c : server.connections) flushUnsent(c);
    }
    return clientsEvent(net, true);
}

}  // namespace

ServerEvent pollServerEvent(NetworkState& net, std::int64_t now) {
    const NetworkEvent what = nextEvent(net, now);
    if (what == NetworkEvent::None) return {};
    return {what, net.eventClient, what == NetworkEvent::Refused ? &net.refused : nullptr};
}

const Refusal& refusedClient(const NetworkState& net) { return net.refused; }

ClientId eventClient(const NetworkState& net) { return net.eventClient; }

int clientServer(const NetworkState& net, ClientId id) {
    const auto it = net.byId.find(id);
    return it != net.byId.end() ? it->second.server : -1;
}

bool networkHasBufferedInput(const NetworkState& net) {
    for (const auto& [number, server] : net.servers) {
        for (const auto* list : {&server.connections, &server.entering}) {
            for (const auto& c : *list) {
                if (list == &server.connections && !takesData(net, c)) continue;
                if ((c.transport && c.transport->hasBuffered()) ||
                    (!c.inbox.empty() && list == &server.connections)) {
                    return true;
                }
            }
        }
    }
    return false;
}

void collectNetworkDescriptors(const NetworkState& net, std::vector<pollfd>& fds) {
    for (const auto& [number, server] : net.servers) {
        fds.push_back({server.listener.get(), POLLIN, 0});
        for (const auto& c : server.connections) {
            short events = 0;
            if (takesData(net, c) || c.overflowed) events |= POLLIN;
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

}  // namespace tessel
