#include "tools/sim_replay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tessel::sim {

namespace {

constexpr std::int64_t kLongestAbsenceMicros = 10'000'000;

bool sound(const Bytes& bytes) {
    if (bytes.empty() || bytes[0] != kStartByte) return false;
    const Recognition r = recognizeFrame(bytes, 0);
    return r.kind == Recognition::Kind::Frame && r.length == bytes.size() && soundFrame(true, bytes);
}

std::string seconds(std::int64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(micros) / 1e6);
    return text;
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (const std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", v);
        out += b;
    }
    return out;
}

}  // namespace

ReplayPlan planReplay(const CaptureContents& capture) {
    ReplayPlan plan;
    std::int64_t runStart = 0;    // this run's first record, on the replay's time
    std::int64_t runFirstMono = 0;
    std::int64_t lastAt = 0, lastWall = 0;
    std::size_t run = static_cast<std::size_t>(-1);
    for (std::size_t i = 0; i < capture.records.size(); ++i) {
        const CaptureRecord& r = capture.records[i];
        if (capture.runOf[i] != run) {
            if (run != static_cast<std::size_t>(-1)) {
                runStart = lastAt + std::clamp<std::int64_t>(r.wallMicros - lastWall, 0, kLongestAbsenceMicros);
            }
            run = capture.runOf[i];
            runFirstMono = r.monoMicros;
        }
        const std::int64_t at = runStart + std::max<std::int64_t>(r.monoMicros - runFirstMono, 0);
        lastAt = std::max(lastAt, at);
        lastWall = r.wallMicros;
        // The bus side whole, noise too: the bridge is to pass it over again.
        if (r.direction == CaptureDirection::FromBus && !r.bytes.empty()) plan.toPlay.push_back({at, r.bytes});
        if (r.direction == CaptureDirection::ToBus && sound(r.bytes)) plan.expected.push_back({at, r.bytes});
    }
    plan.lengthMicros = lastAt;
    plan.skippedLines = capture.badLines + (capture.tornLast ? 1 : 0);
    return plan;
}

ReplayReport compareReplay(const ReplayPlan& plan, const std::vector<TimedFrame>& received, double speed) {
    ReplayReport report;
    std::vector<TimedFrame> got;
    for (const TimedFrame& f : received) {
        if (sound(f.bytes)) got.push_back(f);
    }
    if (plan.skippedLines > 0) {
        report.lines.push_back(std::to_string(plan.skippedLines) + (plan.skippedLines == 1 ? " line" : " lines") +
                               " of the capture skipped: not records");
    }
    report.lines.push_back("the bridge wrote " + std::to_string(got.size()) + " frames, the capture has " +
                           std::to_string(plan.expected.size()) + " for the bus");
    if (plan.expected.empty() && got.empty()) {
        report.lines.push_back("nothing to compare: the capture has no frames for the bus, and none came");
        return report;
    }
    bool same = true;
    std::int64_t worst = 0;
    bool gapWrong = false;
    std::size_t wrongAt = 0;
    std::int64_t wrongExpected = 0, wrongGot = 0;
    const std::size_t common = std::min(got.size(), plan.expected.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (got[i].bytes != plan.expected[i].bytes) {
            report.lines.push_back("differs: frame " + std::to_string(i + 1) + " is " + hex(got[i].bytes) +
                                   ", the capture's is " + hex(plan.expected[i].bytes));
            same = false;
            break;
        }
        const auto expectedGap = static_cast<std::int64_t>(
            std::llround(static_cast<double>(plan.expected[i].atMicros - (i > 0 ? plan.expected[i - 1].atMicros : 0)) / speed));
        const std::int64_t gotGap = got[i].atMicros - (i > 0 ? got[i - 1].atMicros : 0);
        const std::int64_t off = std::llabs(gotGap - expectedGap);
        worst = std::max(worst, off);
        if (!gapWrong && off > 250'000 + std::llabs(expectedGap) / 4) {
            gapWrong = true;
            wrongAt = i;
            wrongExpected = expectedGap;
            wrongGot = gotGap;
        }
    }
    if (same && got.size() < plan.expected.size()) {
        report.lines.push_back("differs: " + std::to_string(plan.expected.size() - got.size()) +
                               " of the capture's frames never came, the first " + hex(plan.expected[got.size()].bytes));
        same = false;
    }
    if (same && got.size() > plan.expected.size()) {
        report.lines.push_back("differs: " + std::to_string(got.size() - plan.expected.size()) +
                               " frames more than the capture has, the first " + hex(got[plan.expected.size()].bytes));
        same = false;
    }
    if (same && gapWrong) {
        report.lines.push_back("differs: frame " + std::to_string(wrongAt + 1) + " came " + seconds(wrongGot) +
                               (wrongAt == 0 ? " after the start" : " after the one before") + ", in the capture " +
                               seconds(wrongExpected));
        same = false;
    }
    if (same) {
        report.lines.push_back("match: the same frames in the same order, each gap within " + seconds(worst) +
                               " of the capture's");
    }
    report.match = same;
    return report;
}

}  // namespace tessel::sim
