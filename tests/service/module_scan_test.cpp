// --scan: the type requests first, the answers awaited, then the names of what answered, and
// the service's frames as sound low-priority requests.
#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "service/module_scan.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;

TEST(ModuleScan, TypesThenTheNamesOfWhatAnswered) {
    ModuleTable t;
    // Known from before the scan, but not answering now: not asked its names.
    learnFromFrame(t, hexBytes("0F FB 20 07 FF 15 45 67 01 14 10 00 04"), true, 100);
    ModuleScan scan;
    EXPECT_FALSE(scan.active());
    scan.begin(1000);
    ASSERT_TRUE(scan.active());
    EXPECT_EQ(scan.dueInMillis(0), 0);
    ModuleScan::Step step = scan.due(t, 0, 0);
    ASSERT_EQ(step.frames.size(), 254u);
    EXPECT_EQ(step.frames.front(), hexBytes("0F FB 01 40 B5 04"));
    EXPECT_EQ(step.frames.back(), hexBytes("0F FB FE 40 B8 04"));
    EXPECT_EQ(step.line, "scan of the bus: a type request to every address, $01 to $FE");

    // The requests are on their way; then the last answers get their 3 s.
    EXPECT_TRUE(scan.due(t, 5000, 200).frames.empty());
    EXPECT_TRUE(scan.due(t, 12'700, 0).frames.empty());
    EXPECT_EQ(scan.dueInMillis(13'000), 2700);
    learnFromFrame(t, hexBytes("0F FB 10 07 FF 11 12 34 01 14 20 00 04"), true, 1005);
    EXPECT_TRUE(scan.due(t, 15'699, 0).frames.empty());
    step = scan.due(t, 15'700, 0);
    EXPECT_EQ(step.line, "scan of the bus: 1 module answered; asking their channel and module names");
    ASSERT_EQ(step.frames.size(), 1u + 4 * 4 + 3);  // names, and the five banks' name memory
    EXPECT_EQ(step.frames[0], moduleRequest(0x10, false, {0xEF, 0xFF}));
    EXPECT_EQ(step.frames[1], moduleRequest(0x10, false, {0xC9, 0x00, 0xE3}));
    EXPECT_EQ(step.frames[4], moduleRequest(0x10, false, {0xC9, 0x00, 0xEF}));
    EXPECT_EQ(step.frames[5], moduleRequest(0x10, false, {0xC9, 0x01, 0xE3}));
    EXPECT_TRUE(scan.active());
    EXPECT_TRUE(scan.due(t, 16'000, 21).frames.empty());
    scan.due(t, 17'000, 0);
    EXPECT_FALSE(scan.active());
}

TEST(ModuleScan, AsksEachTypeAsItNamesItsChannels) {
    const struct {
        const char* reply;  // type reply from $30
        std::vector<const char*> requests;
    } cases[] = {
        {"FF 0B 67 89 01 14 09", {"EF FF"}},                    // bits: all at once, no name memory
        {"FF 0C 00 78 90 01 14 09", {"EF 01"}},                 // one numbered channel
        {"FF 15 45 67 01 14 10", {"EF 01", "C9 00 B0", "C9 00 B4", "C9 00 B8", "C9 00 BC", "C9 00 C0", "C9 00 C4",
                                  "C9 00 C8", "C9 00 CC", "C9 00 D0", "C9 00 D4", "C9 00 D8", "C9 00 DC", "C9 00 E0",
                                  "C9 00 E4", "C9 00 E8", "C9 00 EC"}},
        {"FF 99 00 01 01 01 01", {}},                           // a type not in the list: nothing to ask
    };
    for (const auto& c : cases) {
        ModuleTable t;
        Bytes reply = hexBytes(c.reply);
        Bytes frame = {0x0F, 0xFB, 0x30, static_cast<std::uint8_t>(reply.size())};
        for (const std::uint8_t b : reply) frame.push_back(b);
        frame.push_back(frameChecksum(frame, static_cast<std::int64_t>(frame.size()) - 1));
        frame.push_back(0x04);
        learnFromFrame(t, frame, true, 1);
        std::vector<Bytes> expected;
        for (const char* r : c.requests) expected.push_back(moduleRequest(0x30, false, hexBytes(r)));
        EXPECT_EQ(detailRequests(*moduleAt(t, 0x30)), expected) << c.reply;
        for (const Bytes& f : expected) EXPECT_TRUE(checksumPair(f).agrees());
    }
}

}  // namespace
}  // namespace tessel
