#include "service/refusal_folds.h"

namespace tessel {

bool RefusalFolds::take(const std::string& address, const std::string& line, std::int64_t now) {
    const auto it = folds_.find(address);
    if (it == folds_.end()) {
        if (folds_.size() < kRefusalFoldAddresses) folds_[address] = {now, 0, {}};
        return true;
    }
    ++it->second.count;
    it->second.lastLine = line;
    return false;
}

std::vector<std::string> RefusalFolds::due(std::int64_t now) {
    std::vector<std::string> lines;
    for (auto it = folds_.begin(); it != folds_.end();) {
        Fold& f = it->second;
        if (now - f.since < kRefusalFoldMillis) {
            ++it;
            continue;
        }
        if (f.count == 0) {  // a quiet minute: the next refusal is written at once again
            it = folds_.erase(it);
            continue;
        }
        lines.push_back(verb_ + " " + std::to_string(f.count) + (f.count == 1 ? " time" : " times") +
                        " in the last minute: " + f.lastLine);
        f = {now, 0, {}};
        ++it;
    }
    return lines;
}

Deadline RefusalFolds::nextDue() const {
    std::optional<std::int64_t> next;
    for (const auto& [address, f] : folds_) {
        const std::int64_t at = f.since + kRefusalFoldMillis;
        if (!next || at < *next) next = at;
    }
    return next;
}

std::string addressOfPeer(const std::string& peer) {
    const auto colon = peer.rfind(':');
    if (colon == std::string::npos) return peer;
    return peer.substr(0, colon);
}

}  // namespace tessel
