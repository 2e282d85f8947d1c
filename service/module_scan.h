// --scan: the service asks the bus itself what it holds, as a configuration tool would: a type
// request to every address, then, of each module that answered, its channel names and the
// memory that holds its module name. Its frames join the bus queue as the service's own, paced
// and held like any client's, a few at a time, so a client's frame never waits behind a whole
// scan; the module table learns from the answers as from any other.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "modules/module_table.h"
#include "platform/deadline.h"
#include "protocol/frame.h"

namespace tessel {

// How long the answers to the last type request may take.
constexpr std::int64_t kScanAnswerMillis = 3000;
// At most this many of the scan's frames wait in the bus queue at once: with fair turns a
// client's frame then goes out within a turn, and the queue never holds a scan's worth.
constexpr std::size_t kScanFramesWaiting = 4;

// A frame to a module at low priority: `rtr` for a type request, which carries no data.
Bytes moduleRequest(std::uint8_t address, bool rtr, const Bytes& data);

// What a module is asked once it answered: its channel names, and its module name's memory in
// blocks of four.
std::vector<Bytes> detailRequests(const ModuleRecord& record);

class ModuleScan {
public:
    // A scan from the start. Asked while one is under way, nothing of it starts again: one more
    // follows it, however often it was asked meanwhile.
    void begin(std::int64_t nowSeconds);
    bool active() const { return phase_ != Phase::Idle; }
    // Whether another scan follows the one under way.
    bool again() const { return again_; }

    struct Step {
        std::vector<Bytes> frames;  // to queue now
        std::string line;           // for the journal, or empty
    };
    // `ownWaiting`: how many of the service's own frames are still in the bus queue; the scan
    // tops them up to kScanFramesWaiting.
    Step due(const ModuleTable& table, std::int64_t nowMillis, std::size_t ownWaiting);
    // When due has something to do while the queue is empty; none: nothing.
    Deadline deadline() const;

private:
    enum class Phase { Idle, Types, Sending, Answers, Details };
    void feed(Step& step, std::size_t ownWaiting);
    Phase phase_ = Phase::Idle;
    std::int64_t startSeconds_ = 0;
    std::int64_t answersDue_ = 0;
    bool again_ = false;
    std::int64_t againSeconds_ = 0;
    std::vector<Bytes> pending_;  // of this phase, not yet queued
    std::size_t next_ = 0;
};

}  // namespace tessel
