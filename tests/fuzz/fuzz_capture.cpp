// Any bytes as a capture (a user's file handed to the replay): reading never fails but by its
// error, a record written again reads back as it was written, and the replay's plan keeps to
// the records. The same bytes as traffic for a small ring: it never holds more than its bytes,
// and reads back what was added last, exactly.
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

#include "capture/capture_ring.h"
#include "tools/sim_replay.h"

namespace {

void asCapture(const std::string& text) {
    std::istringstream in(text);
    const tessel::CaptureContents c = tessel::readCapture(in);
    if (c.records.size() != c.runOf.size()) std::abort();
    for (std::size_t i = 0; i < c.records.size(); ++i) {
        if (c.runOf[i] >= c.headers.size()) std::abort();
        const std::string line = tessel::captureLine(c.records[i]);
        if (std::count(line.begin(), line.end(), '\n') != 1 || std::count(line.begin(), line.end(), '\t') != 5) std::abort();
        const auto again = tessel::readCaptureLine(std::string_view(line).substr(0, line.size() - 1));
        if (!again || tessel::captureLine(*again) != line) std::abort();
    }
    for (const tessel::CaptureHeader& h : c.headers) {
        const std::string header = tessel::captureHeaderText(h);
        const auto again = tessel::readCaptureHeader(header.substr(0, header.find('\n')));
        if (!again || tessel::captureHeaderText(*again) != header) std::abort();
    }
    const tessel::sim::ReplayPlan plan = tessel::sim::planReplay(c);
    if (plan.toPlay.size() + plan.expected.size() > c.records.size()) std::abort();
    for (const auto* list : {&plan.toPlay, &plan.expected}) {
        for (const auto& f : *list) {
            if (f.atMicros < 0 || f.atMicros > plan.lengthMicros) std::abort();
        }
    }
}

void asTraffic(const std::uint8_t* data, std::size_t size) {
    tessel::CaptureRing ring(tessel::kMinimumCaptureMemory);
    std::int64_t mono = 0, wall = 1796850245123456;
    tessel::CaptureRecord last;
    bool any = false;
    for (std::size_t at = 0; at + 3 <= size;) {
        const std::uint8_t kind = data[at], step = data[at + 1];
        const std::size_t length = std::min<std::size_t>(data[at + 2] * 11u, size - at - 3);
        const tessel::ByteRun run(data + at + 3, length);
        at += 3 + length;
        mono += step * 997;
        if ((kind & 0x30) == 0x30) wall -= 3'600'000'000LL;  // the host's clock set back
        wall += step * 997;
        const auto direction = static_cast<tessel::CaptureDirection>(kind % 3);
        const std::int64_t source = (kind >> 2) % 4;
        const std::string text(reinterpret_cast<const char*>(run.data()), run.size());
        ring.add(wall, mono, direction, source, run, text);
        if (ring.usedBytes() > ring.capacity()) std::abort();
        last = {wall, mono, direction, {}, {}, {}};
        if (direction == tessel::CaptureDirection::Event) {
            last.text = text.substr(0, tessel::kCaptureRunBytes);
        } else {
            last.bytes.assign(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(std::min(run.size(), tessel::kCaptureRunBytes)));
        }
        any = true;
    }
    tessel::CaptureRing::Reader reader(ring);
    tessel::CaptureRecord r, newest;
    std::size_t count = 0;
    std::int64_t before = -1;
    while (reader.next(r)) {
        if (r.monoMicros < before) std::abort();
        before = r.monoMicros;
        newest = r;
        ++count;
    }
    if (count != ring.recordCount()) std::abort();
    if (any && (newest.wallMicros != last.wallMicros || newest.monoMicros != last.monoMicros ||
                newest.direction != last.direction || newest.bytes != last.bytes ||
                (last.direction == tessel::CaptureDirection::Event && newest.text != last.text))) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    asCapture(std::string(reinterpret_cast<const char*>(data), size));
    asTraffic(data, size);
    return 0;
}
