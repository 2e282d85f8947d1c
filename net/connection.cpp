// One client connection: its sends and receives, through its transport when it has one, with
// the backlog that keeps a frame whole for a client that reads slowly, and the clients' count.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/server_parts.h"

namespace tessel {

namespace {

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

}  // namespace

Connection* findConnection(NetworkState& net, ClientId id) {
    const auto it = net.byId.find(id);
    return it != net.byId.end() ? it->second.connection : nullptr;
}

const Connection* findConnection(const NetworkState& net, ClientId id) {
    return findConnection(const_cast<NetworkState&>(net), id);
}

bool failed(ssize_t n) { return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR; }

ssize_t receiveRaw(Connection& c, std::uint8_t* buffer, std::size_t size) {
    if (c.transport) return c.transport->receive(buffer, size);
    return ::recv(c.socket.get(), buffer, size, MSG_DONTWAIT);
}

void flushUnsent(Connection& c) {
    if (c.unsent.empty() || c.overflowed) return;
    const ssize_t n = sendRaw(c, c.unsent.data(), c.unsent.size());
    if (n > 0) c.unsent.erase(c.unsent.begin(), c.unsent.begin() + n);
}

bool readsThroughInbox(const Connection& c) { return c.transport || !c.inbox.empty(); }

bool fillInbox(Connection& c) {
    if (!c.inbox.empty()) return true;
    std::uint8_t buffer[4096];
    const ssize_t n = receiveRaw(c, buffer, sizeof buffer);
    if (n > 0) c.inbox.assign(buffer, buffer + n);
    return n > 0 || (n < 0 && !failed(n));
}

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

bool clientHasInput(const NetworkState& net, ClientId id) {
    const Connection* c = findConnection(net, id);
    if (c == nullptr) return false;
    if (!c->inbox.empty() || (c->transport && c->transport->hasBuffered())) return true;
    std::uint8_t byte;
    return ::recv(c->socket.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

std::size_t connectionCount(const NetworkState& net) {
    std::size_t n = 0;
    for (const auto& [number, server] : net.servers) n += server.connections.size();
    return n;
}

}  // namespace tessel
