#include "net/client_receive.h"

namespace tessel {

namespace {

std::int64_t queueRuns(std::vector<ExtractedRun>& runs, ClientId id, FrameQueue& toBus,
                       ClientTable& table) {
    const std::string text = std::to_string(id);
    ClientRecord* sender = findClient(table, id);
    for (auto& run : runs) {
        const bool sound = soundFrame(run.wellFormed, run.bytes);
        if (!sound && sender != nullptr) countClientError(table, *sender);
        ReceivedFrame record;
        record.text = text;
        record.sender = id;
        record.length = static_cast<std::int64_t>(run.bytes.size());
        record.bytes = std::move(run.bytes);
        record.wellFormed = run.wellFormed ? 1 : 0;
        toBus.push_back(std::move(record));
    }
    const auto count = static_cast<std::int64_t>(runs.size());
    runs.clear();
    return count;
}

}  // namespace

std::int64_t clientReceive(ClientReceiver& receiver, NetworkState& net, ClientId id,
                           FrameQueue& toBus, ClientTable& table, std::int64_t nowMillis) {
    const std::int64_t m = receiveFromClient(net, id, receiver.buffer.data(),
                                             static_cast<std::int64_t>(receiver.buffer.size()));
    if (m <= 0) return 0;
    receiver.found.clear();
    auto it = receiver.kept.try_emplace(id, FrameExtractor::Side::Client).first;
    it->second.feed(ByteRun(receiver.buffer.data(), static_cast<std::size_t>(m)), nowMillis,
                    receiver.found);
    if (!it->second.hasKept()) receiver.kept.erase(it);
    return queueRuns(receiver.found, id, toBus, table);
}

std::int64_t flushClientRuns(ClientReceiver& receiver, ClientId id, FrameQueue& toBus,
                             ClientTable& table) {
    const auto it = receiver.kept.find(id);
    if (it == receiver.kept.end()) return 0;
    receiver.found.clear();
    it->second.finish(receiver.found);
    receiver.kept.erase(it);
    return queueRuns(receiver.found, id, toBus, table);
}

std::int64_t flushAllClientRuns(ClientReceiver& receiver, FrameQueue& toBus, ClientTable& table) {
    std::int64_t count = 0;
    while (!receiver.kept.empty()) {
        count += flushClientRuns(receiver, receiver.kept.begin()->first, toBus, table);
    }
    return count;
}

std::int64_t expireClientRuns(ClientReceiver& receiver, const NetworkState& net, FrameQueue& toBus,
                              ClientTable& table, std::int64_t nowMillis) {
    std::vector<ClientId> quiet;
    for (const auto& [id, extractor] : receiver.kept) {
        if (extractor.expired(nowMillis, kClientKeptRunMillis) && !clientHasInput(net, id)) {
            quiet.push_back(id);
        }
    }
    std::int64_t count = 0;
    for (ClientId id : quiet) count += flushClientRuns(receiver, id, toBus, table);
    return count;
}

Deadline nextClientRunDeadline(const ClientReceiver& receiver) {
    std::optional<std::int64_t> next;
    for (const auto& [id, extractor] : receiver.kept) {
        const std::int64_t due = extractor.lastFeedMillis() + kClientKeptRunMillis + 1;
        if (!next || due < *next) next = due;
    }
    return next;
}

}  // namespace tessel
