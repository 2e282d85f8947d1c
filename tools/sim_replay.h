// A capture played back on the simulated bus: its frames from the bus at their times, and what
// the bridge then writes held against the capture's frames for the bus.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture_record.h"

namespace tessel::sim {

struct TimedFrame {
    std::int64_t atMicros = 0;  // from the start of the replay
    Bytes bytes;
};

struct ReplayPlan {
    std::vector<TimedFrame> toPlay;    // the capture's runs from the bus, frames or not
    std::vector<TimedFrame> expected;  // its sound frames for the bus, from clients or the service
    std::int64_t lengthMicros = 0;     // until its last record
    std::size_t skippedLines = 0;      // neither a record nor a comment, or a last line cut short
};

// Times run from the capture's first record, on the monotonic clock of each run of the
// service; between two runs (a file kept across a restart) the host's clock says how long the
// service was away, at most 10 s.
ReplayPlan planReplay(const CaptureContents& capture);

struct ReplayReport {
    bool match = false;
    std::vector<std::string> lines;
};

// The frames the bridge wrote (their times from the start of the replay) against the plan's. A
// capture without frames for the bus has nothing to compare, which is no match; the lines it
// skipped are said first.
// A gap between two frames (and the first's from the start) may differ from the capture's,
// divided by `speed`, by a quarter of a second and a quarter of itself: the bridge paces, the
// clients do not answer to the microsecond.
ReplayReport compareReplay(const ReplayPlan& plan, const std::vector<TimedFrame>& received, double speed);

}  // namespace tessel::sim
