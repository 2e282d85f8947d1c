#include "service/module_scan.h"

#include <algorithm>

#include "protocol/commands.h"

namespace tessel {

namespace {
}

Bytes moduleRequest(std::uint8_t address, bool rtr, const Bytes& data) {
    return makeFrame(kLowPriority, address, data, rtr);
}

std::vector<Bytes> detailRequests(const ModuleRecord& r) {
    std::vector<Bytes> out;
    const ModuleTypeInfo* info = r.type ? findModuleType(*r.type) : nullptr;
    if (info == nullptr) return out;
    if (info->naming == ChannelNaming::Bit) {
        // Every channel at once: each answers with its own three frames.
        out.push_back(moduleRequest(r.address, false, {kChannelNameRequest, kEveryChannel}));
    } else if (info->naming == ChannelNaming::Number) {
        for (int ch = 1; ch <= info->channels; ++ch) {
            out.push_back(moduleRequest(r.address, false, {kChannelNameRequest, static_cast<std::uint8_t>(ch)}));
        }
    }
    for (const auto& [first, last] : info->nameRanges) {
        for (unsigned a = first; a <= last; a += 4) {
            out.push_back(moduleRequest(r.address, false,
                                        {kMemoryBlockRequest, static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a & 0xFF)}));
        }
    }
    return out;
}

void ModuleScan::begin(std::int64_t nowSeconds) {
    if (phase_ != Phase::Idle) {
        again_ = true;
        againSeconds_ = nowSeconds;
        return;
    }
    phase_ = Phase::Types;
    startSeconds_ = nowSeconds;
}

void ModuleScan::feed(Step& step, std::size_t ownWaiting) {
    while (ownWaiting + step.frames.size() < kScanFramesWaiting && next_ < pending_.size()) {
        step.frames.push_back(std::move(pending_[next_++]));
    }
    if (next_ == pending_.size()) {
        pending_.clear();
        next_ = 0;
    }
}

ModuleScan::Step ModuleScan::due(const ModuleTable& table, std::int64_t nowMillis, std::size_t ownWaiting) {
    Step step;
    switch (phase_) {
        case Phase::Idle: break;
        case Phase::Types:
            pending_.clear();
            next_ = 0;
            for (unsigned a = 0x01; a <= 0xFE; ++a) pending_.push_back(moduleRequest(static_cast<std::uint8_t>(a), true, {}));
            step.line = "scan of the bus: a type request to every address, $01 to $FE";
            phase_ = Phase::Sending;
            feed(step, ownWaiting);
            break;
        case Phase::Sending:
            feed(step, ownWaiting);
            // The answers to the last request may come for a while after it went out.
            if (pending_.empty() && ownWaiting == 0) {
                answersDue_ = nowMillis + kScanAnswerMillis;
                phase_ = Phase::Answers;
            }
            break;
        case Phase::Answers: {
            if (nowMillis < answersDue_) break;
            int answered = 0;
            for (const auto& slot : table.byAddress) {
                if (!slot || !slot->type || slot->lastSeen < startSeconds_) continue;
                ++answered;
                for (Bytes& frame : detailRequests(*slot)) pending_.push_back(std::move(frame));
            }
            step.line = "scan of the bus: " + std::to_string(answered) + (answered == 1 ? " module" : " modules") +
                        " answered; asking their channel and module names";
            phase_ = Phase::Details;
            feed(step, ownWaiting);
            break;
        }
        case Phase::Details:
            feed(step, ownWaiting);
            if (pending_.empty() && ownWaiting == 0) {
                phase_ = again_ ? Phase::Types : Phase::Idle;
                startSeconds_ = againSeconds_;
                again_ = false;
            }
            break;
    }
    return step;
}

Deadline ModuleScan::deadline() const {
    if (phase_ == Phase::Types) return kDueNow;
    if (phase_ == Phase::Answers) return answersDue_;
    return std::nullopt;
}

}  // namespace tessel
