// The TCP server over BSD sockets: non-blocking, silent (failures come back as 0 or -1). It
// listens on every IPv4 interface, or on one address (IPv4 or IPv6; "::" takes both).
// One poll reports at most one event: a new client first, then the clients newest first; but a
// client that had something while another event was reported goes first at the next poll.
// Its parts: listeners.cpp (listening), connection.cpp (one client's sends and receives),
// peer_address.cpp (who a client is), admission.cpp (a guarded client's way in) and
// server_events.cpp (the poll that makes the events).
#pragma once
#include <poll.h>

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/key_gate.h"
#include "net/transport.h"
#include "platform/deadline.h"
#include "platform/descriptor_reserve.h"
#include "platform/unique_fd.h"
#include "protocol/frame.h"

namespace tessel {

// Refused: a client of a guarded server that failed its TLS handshake or its key; the layer
// has closed it already (refusedClient says who and why). It never was a Connect.
enum class NetworkEvent { None = 0, Connect = 1, Data = 2, Disconnect = 4, Refused = 8 };

// A client whose machine vanished is found by TCP keepalive, even on a quiet bus: first probe
// after 60 s idle, then every 10 s, 3 probes.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;

// Nonzero, unique among open connections and stable while open: a counter never reused.
using ClientId = std::int64_t;

constexpr int kAllServers = -1;
// Unsent output a slow client may hold back before it is dropped: about a minute of a
// saturated bus.
constexpr std::size_t kClientBacklogLimit = 64 * 1024;

// Time a client of a guarded server has for its TLS handshake, and then for its key.
constexpr std::int64_t kHandshakeMillis = 10000;
constexpr std::int64_t kKeyMillis = 5000;

struct Connection {
    UniqueFd socket;
    ClientId id = 0;
    Bytes unsent;          // the tail of a send the socket did not take, sent before anything newer
    bool overflowed = false;
    // Guarded servers only: the TLS layer, the key still awaited, what was received and not yet
    // taken (bytes that came with the key), and until when the client may take to get in.
    std::unique_ptr<Transport> transport;
    bool handshaken = true;
    bool handshakeWantsWrite = false;
    std::optional<KeyGate> gate;
    Bytes inbox;
    std::int64_t admitBy = 0;
    std::string peer;  // "address:port", for the refusal's journal line
    // Had something while another event was reported: it goes first at the next poll.
    bool passedOver = false;
    std::int64_t lookedAt = 0;  // the poll that last looked at it
};

// What a guarded server asks of each client before it counts as connected: a TLS handshake
// (when `transports` is set) and then the shared key (when not empty). Neither: plain TCP.
struct ClientGuard {
    TransportFactory transports;
    std::string key;
    bool active() const { return static_cast<bool>(transports) || !key.empty(); }
};

struct Server {
    UniqueFd listener;
    ClientGuard guard;                  // each listener has its own rule
    std::list<Connection> connections;  // newest first; these are the clients
    std::list<Connection> entering;     // accepted, not yet through their handshake and key
};

// Why a guarded server's client did not get in: its journal text and its metric label side
// by side, so that neither is read back out of the other.
enum class RefusalReason { HandshakeTimeout, HandshakeFailed, KeyTimeout, LeftBeforeKey, FrameBeforeKey, WrongKey };

struct RefusalKind {
    RefusalReason reason;
    const char* text;
    const char* label;
};

inline constexpr std::array<RefusalKind, 6> kRefusalKinds{{
    {RefusalReason::HandshakeTimeout, "no TLS handshake within 10 s", "handshake_timeout"},
    {RefusalReason::HandshakeFailed, "TLS handshake failed", "handshake_failed"},
    {RefusalReason::KeyTimeout, "no complete key within 5 s", "key_timeout"},
    {RefusalReason::LeftBeforeKey, "left before its key was complete", "left_before_key"},
    {RefusalReason::FrameBeforeKey,
     "sent a frame before its key: a client that does not send its key again after reconnecting?", "frame_before_key"},
    {RefusalReason::WrongKey, "wrong key", "wrong_key"},
}};

const RefusalKind& refusalKind(RefusalReason reason);

struct Refusal {
    std::string peer;
    RefusalReason reason = RefusalReason::WrongKey;
    std::string detail;  // what the reason's text is followed by, after ": " (empty: nothing)
    int server = 0;      // the number of the server it came to
};

// "no complete key within 5 s: 3 of 6 bytes came"
std::string refusalText(const Refusal& refusal);

struct NetworkState {
    std::map<int, Server> servers;
    // So that a connection can still be taken and refused when descriptors run out.
    DescriptorReserve reserve;
    ClientId eventClient = 0;
    ClientId nextId = 1;
    // When the caller has just polled the sockets, only those that were ready are looked at:
    // each look is a system call, and with many clients they add up on every pass.
    bool readinessKnown = false;
    std::vector<int> readyDescriptors;  // sorted
    Refusal refused;  // of the last Refused event
    std::int64_t polls = 0;
    bool clientsOwed = false;  // some client was passed over
    // Clients not read for now: their earlier runs still wait for the bus. Their connections and
    // closes are still reported once they are read again; the others are read as usual.
    std::unordered_set<ClientId> heldBack;
    // The connected clients by id, and the server each came by, so that a read, a send or an
    // address costs one look-up however many are connected. List elements keep their address.
    struct Connected {
        Connection* connection;
        int server;
    };
    std::unordered_map<ClientId, Connected> byId;
};

// Also raises the soft descriptor limit to the hard one, so that about a thousand clients fit.
int initNetwork(NetworkState& net);
// Returns nonzero on success. An existing server of that number is closed first. `address`
// empty: every IPv4 interface; else an IPv4 or IPv6 address, brackets optional.
int createServer(NetworkState& net, int number, std::int64_t port,
                 const std::string& address = {});
// A non-blocking listening socket, as createServer makes one; invalid, with errno saying why,
// when it cannot be made.
UniqueFd openListener(const std::string& address, std::uint16_t port);
// What the clients of server `number` must get through from now on; a server is created plain.
void setServerGuard(NetworkState& net, int number, ClientGuard guard);
// The number of the server a connected client came in by, or -1.
int clientServer(const NetworkState& net, ClientId id);
// True when `address` is one that createServer takes.
bool validListenAddress(const std::string& address);
// What one poll found: the event, the client it concerns (0 with None), and for Refused, why.
struct ServerEvent {
    NetworkEvent what = NetworkEvent::None;
    ClientId client = 0;
    const Refusal* refusal = nullptr;  // valid until the next poll
};
// Clients held back are not reported for their data; connections and the other clients still
// are. `nowMillis` times the handshakes and keys of a guarded server.
ServerEvent pollServerEvent(NetworkState& net, std::int64_t nowMillis = 0);
const Refusal& refusedClient(const NetworkState& net);
// When the next client of a guarded server runs out of time to get in, if any is entering.
Deadline nextAdmissionDeadline(const NetworkState& net);
// True when a client not held back has bytes waiting inside the layer, where no descriptor
// shows them: the caller must not wait before its next poll.
bool networkHasBufferedInput(const NetworkState& net);
ClientId eventClient(const NetworkState& net);
// The peer's address bytes in network order, or 0.
std::uint32_t clientAddress(const NetworkState& net, ClientId id);
std::string ipv4Text(std::uint32_t address);
// The peer's address as shown: "192.168.1.20", or "[fe80::1]" for IPv6 (an IPv4 client of an
// IPv6 listener shows as IPv4); four zeros when it cannot be read.
std::string clientAddressText(const NetworkState& net, ClientId id);
std::uint16_t clientPort(const NetworkState& net, ClientId id);
// One receive: count above 0, 0 when the peer closed, -1 when nothing was there or it failed.
std::int64_t receiveFromClient(NetworkState& net, ClientId id, std::uint8_t* buffer,
                               std::int64_t size);
// Never tears a frame: what the socket does not take now is kept and sent first later.
void sendToClient(NetworkState& net, ClientId id, const std::uint8_t* data, std::int64_t length);
// The same to every open connection, oldest first, straight from the connection lists: a frame
// costs one send per client and no look-up.
void sendToAllClients(NetworkState& net, const std::uint8_t* data, std::int64_t length);
void closeServer(NetworkState& net, int number);

// Descriptors the event wait should watch: listeners, clients (for input unless held back),
// and clients with unsent output (for room to write).
void collectNetworkDescriptors(const NetworkState& net, std::vector<pollfd>& fds);
// Records which of the descriptors just polled were ready, for the next pollServerEvent.
void noteReadyDescriptors(NetworkState& net, std::span<const pollfd> polled);
std::size_t connectionCount(const NetworkState& net);
// True when the client has bytes waiting (none are taken).
bool clientHasInput(const NetworkState& net, ClientId id);
// The port a server listens on (the one the system chose when asked for port 0), or 0.
std::uint16_t serverPort(const NetworkState& net, int number);

}  // namespace tessel
