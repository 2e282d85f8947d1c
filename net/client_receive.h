// Runs out of the bytes a client sends, queued for the bus. A frame split across receives is
// completed by the client's next data; what stays undecided is queued as a run that is not a
// frame when the client goes quiet for 500 ms or leaves.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "net/client_table.h"
#include "net/tcp_server.h"
#include "platform/deadline.h"
#include "protocol/extractor.h"
#include "protocol/received_frame.h"

namespace tessel {

constexpr std::int64_t kClientKeptRunMillis = 500;

struct ClientReceiver {
    std::array<std::uint8_t, 4096> buffer{};
    std::map<ClientId, FrameExtractor> kept;
    std::vector<ExtractedRun> found;
};

// One receive from the client; returns the number of records appended to `toBus`.
// Runs that are not sound frames add to the client's error count.
std::int64_t clientReceive(ClientReceiver& receiver, NetworkState& net, ClientId id,
                           FrameQueue& toBus, ClientTable& table, std::int64_t nowMillis);

// Queues what a client that left still had kept; returns the records appended.
std::int64_t flushClientRuns(ClientReceiver& receiver, ClientId id, FrameQueue& toBus,
                             ClientTable& table);
// The same for every client (the server was closed).
std::int64_t flushAllClientRuns(ClientReceiver& receiver, FrameQueue& toBus, ClientTable& table);
// Queues the kept runs of clients quiet for more than 500 ms. A client whose next bytes are
// already waiting (the loop was held) is not quiet: those bytes are read first.
std::int64_t expireClientRuns(ClientReceiver& receiver, const NetworkState& net, FrameQueue& toBus,
                              ClientTable& table, std::int64_t nowMillis);
// When the next kept run times out, if any is kept.
Deadline nextClientRunDeadline(const ClientReceiver& receiver);

}  // namespace tessel
