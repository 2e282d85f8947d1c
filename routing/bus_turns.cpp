#include "routing/bus_turns.h"

namespace tessel {

std::int64_t runSender(const ReceivedFrame& record) { return record.sender > 0 ? record.sender : kFrontEndSender; }

void bringTurnForward(FrameQueue& toBus, BusTurns& turns) {
    if (toBus.empty()) return;
    // The first run of the next sender after the last served, or failing one, of the lowest.
    std::size_t next = toBus.size(), lowest = 0;
    std::int64_t nextId = 0, lowestId = runSender(toBus.front());
    for (std::size_t i = 0; i < toBus.size(); ++i) {
        const std::int64_t id = runSender(toBus[i]);
        if (id > turns.lastServed && (next == toBus.size() || id < nextId)) {
            next = i;
            nextId = id;
        }
        if (id < lowestId) {
            lowest = i;
            lowestId = id;
        }
    }
    if (next == toBus.size()) {
        next = lowest;
        nextId = lowestId;
    }
    turns.lastServed = nextId;
    if (next == 0) return;
    ReceivedFrame chosen = std::move(toBus[next]);
    toBus.erase(toBus.begin() + static_cast<std::ptrdiff_t>(next));
    toBus.push_front(std::move(chosen));
}

}  // namespace tessel
