// What the TCP server's files share about one connection: finding it, its raw sends and
// receives through its transport, its inbox, its peer's name, and the steps of a guarded
// client's admission. Not for the rest of the program, which uses net/tcp_server.h.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "net/tcp_server.h"

namespace tessel {

// The open connection with that id, or nothing.
Connection* findConnection(NetworkState& net, ClientId id);
const Connection* findConnection(const NetworkState& net, ClientId id);

bool makeNonBlocking(int fd);
// A failure that ends the connection, not "nothing now".
bool failed(ssize_t n);
ssize_t receiveRaw(Connection& c, std::uint8_t* buffer, std::size_t size);
// Sends what an earlier send left over, as much as the socket takes.
void flushUnsent(Connection& c);
// Sends a frame whole or keeps its tail: a client never receives a torn frame.
void sendTo(Connection& c, const std::uint8_t* data, std::int64_t length);
// A connection that holds or carries bytes of its own reads into its inbox; a plain one is
// only peeked at, so that its Data event takes nothing.
bool readsThroughInbox(const Connection& c);
// Fills the inbox when it is empty. Returns false when the connection is gone.
bool fillInbox(Connection& c);

// When the caller has just polled, only descriptors that were ready are worth a system call.
bool mayBeReady(const NetworkState& net, int fd);

// "address:port" of a socket's peer.
std::string peerText(int fd);

// A guarded client's way in.
enum class Entry { Entering, Admitted, Refused };
// Sets a newly accepted client of a guarded server on its way in: its TLS layer, its key gate,
// and until when it may take.
void beginAdmission(Connection& c, const ClientGuard& guard, std::int64_t now);
// One step: the TLS handshake, then the key. Nothing it sends before it is admitted is traffic;
// the bytes after the key are. `reason` says why when it is refused.
Entry advanceEntry(Connection& c, std::int64_t now, Refusal& refusal);
// True when a step may change something: its socket was ready, its time is out, or its TLS
// layer holds bytes.
bool entryMayMove(const NetworkState& net, const Connection& c, std::int64_t now);

}  // namespace tessel
