// --scan: the service asks the bus itself what it holds, as a configuration tool would: a type
// request to every address, then, of each module that answered, its channel names and the
// memory that holds its module name. Its frames join the bus queue as the service's own, paced
// and held like any client's; the module table learns from the answers as from any other.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "modules/module_table.h"
#include "protocol/frame.h"

namespace tessel {

// How long the answers to the last type request may take.
constexpr std::int64_t kScanAnswerMillis = 3000;

// A frame to a module at low priority: `rtr` for a type request, which carries no data.
Bytes moduleRequest(std::uint8_t address, bool rtr, const Bytes& data);

// What a module is asked once it answered: its channel names, and its module name's memory in
// blocks of four.
std::vector<Bytes> detailRequests(const ModuleRecord& record);

class ModuleScan {
public:
    // A scan from the start; one already under way starts again.
    void begin(std::int64_t nowSeconds);
    bool active() const { return phase_ != Phase::Idle; }

    struct Step {
        std::vector<Bytes> frames;  // to queue now
        std::string line;           // for the journal, or empty
    };
    // `ownWaiting`: how many of the service's own frames are still in the bus queue.
    Step due(const ModuleTable& table, std::int64_t nowMillis, std::size_t ownWaiting);
    // Milliseconds until due has something to do while the queue is empty; -1: nothing.
    std::int64_t dueInMillis(std::int64_t nowMillis) const;

private:
    enum class Phase { Idle, Types, Sending, Answers, Details };
    Phase phase_ = Phase::Idle;
    std::int64_t startSeconds_ = 0;
    std::int64_t answersDue_ = 0;
};

}  // namespace tessel
