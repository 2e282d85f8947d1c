// Refusals of one address folded in the journal: the first is written at once, those that
// follow within its minute are counted and written as one line when the minute ends, so a
// client that retries every 5 s writes one line a minute, not twelve.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/deadline.h"

namespace tessel {

constexpr std::int64_t kRefusalFoldMillis = 60'000;
// Addresses folded at once; past this, a refusal from a new address is written unfolded, so the
// table stays bounded whatever a crowd of hosts does.
constexpr std::size_t kRefusalFoldAddresses = 1024;

class RefusalFolds {
public:
    // `verb` begins a folded line: "refused 12 times …", "restarted 3 times …".
    explicit RefusalFolds(std::string verb = "refused") : verb_(std::move(verb)) {}
    // True when `line` (a refusal from `address`) is to be written now; otherwise it is counted.
    bool take(const std::string& address, const std::string& line, std::int64_t nowMillis);
    // The lines of the minutes that ended by `nowMillis`: "refused 12 times in the last minute: …".
    std::vector<std::string> due(std::int64_t nowMillis);
    Deadline nextDue() const;

private:
    struct Fold {
        std::int64_t since = 0;
        std::int64_t count = 0;  // after the one written
        std::string lastLine;
    };
    std::string verb_;
    std::map<std::string, Fold> folds_;
};

// The address of "address:port" or "[v6]:port".
std::string addressOfPeer(const std::string& peer);

}  // namespace tessel
