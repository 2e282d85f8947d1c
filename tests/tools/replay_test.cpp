// The replay's plan and its verdict: times from the capture's monotonic clock and across a
// restart, and the bridge's frames held against the capture's in order, bytes and gaps.
#include <gtest/gtest.h>

#include <sstream>

#include "support/fakes.h"
#include "tools/sim_replay.h"

namespace tessel::sim {
namespace {

constexpr std::int64_t kEvening = 1796850245123456;
const Bytes kButton = test::hexBytes("0F F8 30 04 00 01 00 00 C4 04");
const Bytes kCommand = test::hexBytes("0F F8 10 02 02 01 E4 04");
const Bytes kOther = test::hexBytes("0F F8 11 02 02 01 E3 04");

CaptureContents twoRuns() {
    const CaptureHeader header{1, "h", "/dev/pts/1", "3.08"};
    std::string text = captureHeaderText(header);
    const auto line = [&](std::int64_t wall, std::int64_t mono, CaptureDirection d, const Bytes& b) {
        text += captureLine({wall, mono, d, d == CaptureDirection::FromBus ? "bus" : "127.0.0.1:1", b, ""});
    };
    line(kEvening, 5'000'000, CaptureDirection::Event, {});
    line(kEvening + 200'000, 5'200'000, CaptureDirection::FromBus, kButton);
    line(kEvening + 210'000, 5'210'000, CaptureDirection::ToBus, kCommand);
    line(kEvening + 300'000, 5'300'000, CaptureDirection::ToBus, test::hexBytes("0F 01 02"));  // not a frame
    // The service restarted 60 s later (counted as 10 s at most), its monotonic clock anew.
    text += captureHeaderText(header);
    line(kEvening + 60'300'000, 1'000, CaptureDirection::FromBus, kButton);
    line(kEvening + 60'800'000, 501'000, CaptureDirection::ToBus, kOther);
    std::istringstream in(text);
    return readCapture(in);
}

TEST(Replay, ThePlanTimesRunFromTheFirstRecordAndAcrossARestart) {
    const ReplayPlan plan = planReplay(twoRuns());
    ASSERT_EQ(plan.toPlay.size(), 2u);
    EXPECT_EQ(plan.toPlay[0].atMicros, 200'000);
    EXPECT_EQ(plan.toPlay[1].atMicros, 10'300'000);
    ASSERT_EQ(plan.expected.size(), 2u);  // the run that is not a frame never reaches a bus
    EXPECT_EQ(plan.expected[0].atMicros, 210'000);
    EXPECT_EQ(plan.expected[0].bytes, kCommand);
    EXPECT_EQ(plan.expected[1].atMicros, 10'800'000);
    EXPECT_EQ(plan.lengthMicros, 10'800'000);
}

TEST(Replay, TheVerdict) {
    const ReplayPlan plan = planReplay(twoRuns());
    const struct {
        const char* what;
        std::vector<TimedFrame> received;
        double speed;
        bool match;
        std::string last;
    } table[] = {
        {"the same", {{260'000, kCommand}, {10'850'000, kOther}}, 1, true,
         "match: the same frames in the same order, each gap within 0.050 s of the capture's"},
        {"twice as fast", {{105'000, kCommand}, {5'400'000, kOther}}, 2, true,
         "match: the same frames in the same order, each gap within 0.000 s of the capture's"},
        {"runs that are not frames are not counted", {{210'000, kCommand}, {300'000, Bytes{0x0F, 0x01}}, {10'800'000, kOther}},
         1, true, "match: the same frames in the same order, each gap within 0.000 s of the capture's"},
        {"another frame", {{210'000, kCommand}, {10'800'000, kCommand}}, 1, false,
         "differs: frame 2 is 0F F8 10 02 02 01 E4 04, the capture's is 0F F8 11 02 02 01 E3 04"},
        {"one missing", {{210'000, kCommand}}, 1, false,
         "differs: 1 of the capture's frames never came, the first 0F F8 11 02 02 01 E3 04"},
        {"one more", {{210'000, kCommand}, {10'800'000, kOther}, {10'900'000, kOther}}, 1, false,
         "differs: 1 frames more than the capture has, the first 0F F8 11 02 02 01 E3 04"},
        {"late", {{210'000, kCommand}, {14'000'000, kOther}}, 1, false,
         "differs: frame 2 came 13.790 s after the one before, in the capture 10.590 s"},
        {"early", {{600'000, kCommand}, {11'190'000, kOther}}, 1, false,
         "differs: frame 1 came 0.600 s after the start, in the capture 0.210 s"},
        {"nothing came", {}, 1, false, "differs: 2 of the capture's frames never came, the first 0F F8 10 02 02 01 E4 04"},
    };
    for (const auto& row : table) {
        const ReplayReport report = compareReplay(plan, row.received, row.speed);
        EXPECT_EQ(report.match, row.match) << row.what;
        ASSERT_FALSE(report.lines.empty());
        EXPECT_EQ(report.lines.back(), row.last) << row.what;
    }
}

// A capture whose every line was skipped, or that has no frames for the bus, is no match: it
// says how many lines it skipped and that there was nothing to compare.
TEST(Replay, NothingToCompareIsNoMatchAndSkippedLinesAreSaid) {
    const CaptureHeader header{1, "h", "/dev/pts/1", "3.08"};
    const struct {
        const char* what;
        std::string body;
        std::vector<std::string> lines;
    } table[] = {
        {"every line skipped", "not a record\nnor this\n",
         {"2 lines of the capture skipped: not records", "the bridge wrote 0 frames, the capture has 0 for the bus",
          "nothing to compare: the capture has no frames for the bus, and none came"}},
        {"no frames for the bus", captureLine({kEvening, 1, CaptureDirection::FromBus, "bus", kButton, ""}) + "torn",
         {"1 line of the capture skipped: not records", "the bridge wrote 0 frames, the capture has 0 for the bus",
          "nothing to compare: the capture has no frames for the bus, and none came"}},
    };
    for (const auto& row : table) {
        std::istringstream in(captureHeaderText(header) + row.body);
        const ReplayReport report = compareReplay(planReplay(readCapture(in)), {}, 1);
        EXPECT_FALSE(report.match) << row.what;
        EXPECT_EQ(report.lines, row.lines) << row.what;
    }
}

}  // namespace
}  // namespace tessel::sim
