// --scan: the type requests first, the answers awaited, then the names of what answered, and
// the service's frames as sound low-priority requests.
#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "service/module_scan.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;

// Takes what the scan queues at `now` as the bus would: every frame it hands over is written
// before the next look, so it never has more than kScanFramesWaiting waiting.
std::vector<Bytes> drain(ModuleScan& scan, const ModuleTable& t, std::int64_t now, std::vector<std::string>* lines = nullptr) {
    std::vector<Bytes> out;
    for (int look = 0; look < 1000; ++look) {
        ModuleScan::Step step = scan.due(t, now, 0);
        if (lines != nullptr && !step.line.empty()) lines->push_back(step.line);
        if (step.frames.empty()) break;
        EXPECT_LE(step.frames.size(), kScanFramesWaiting);
        for (Bytes& f : step.frames) out.push_back(std::move(f));
    }
    return out;
}

TEST(ModuleScan, TypesThenTheNamesOfWhatAnsweredAFewFramesAtATime) {
    ModuleTable t;
    // Known from before the scan, but not answering now: not asked its names.
    learnFromFrame(t, hexBytes("0F FB 20 07 FF 15 45 67 01 14 10 00 04"), true, 100);
    ModuleScan scan;
    EXPECT_FALSE(scan.active());
    scan.begin(1000);
    ASSERT_TRUE(scan.active());
    EXPECT_EQ(test::dueIn(scan.deadline(), 0), 0);
    ModuleScan::Step step = scan.due(t, 0, 0);
    EXPECT_EQ(step.line, "scan of the bus: a type request to every address, $01 to $FE");
    ASSERT_EQ(step.frames.size(), kScanFramesWaiting);
    EXPECT_EQ(step.frames.front(), hexBytes("0F FB 01 40 B5 04"));
    // Topped up only to the few it may have waiting.
    EXPECT_EQ(scan.due(t, 10, 3).frames.size(), 1u);
    EXPECT_TRUE(scan.due(t, 20, kScanFramesWaiting).frames.empty());
    EXPECT_EQ(scan.due(t, 30, 0).frames.front(), hexBytes("0F FB 06 40 B0 04"));
    const std::vector<Bytes> rest = drain(scan, t, 40);
    ASSERT_EQ(rest.size(), 254u - 9);
    EXPECT_EQ(rest.back(), hexBytes("0F FB FE 40 B8 04"));

    // The last request went out at 40: its answers get their 3 s.
    EXPECT_EQ(test::dueIn(scan.deadline(), 1000), 2040);
    learnFromFrame(t, hexBytes("0F FB 10 07 FF 11 12 34 01 14 20 00 04"), true, 1005);
    EXPECT_TRUE(scan.due(t, 3039, 0).frames.empty());
    std::vector<std::string> lines;
    const std::vector<Bytes> details = drain(scan, t, 3040, &lines);
    EXPECT_EQ(lines, std::vector<std::string>{"scan of the bus: 1 module answered; asking their channel and module names"});
    ASSERT_EQ(details.size(), 1u + 4 * 4 + 3);  // names, and the five banks' name memory
    EXPECT_EQ(details[0], moduleRequest(0x10, false, {0xEF, 0xFF}));
    EXPECT_EQ(details[1], moduleRequest(0x10, false, {0xC9, 0x00, 0xE3}));
    EXPECT_EQ(details[4], moduleRequest(0x10, false, {0xC9, 0x00, 0xEF}));
    EXPECT_EQ(details[5], moduleRequest(0x10, false, {0xC9, 0x01, 0xE3}));
    EXPECT_FALSE(scan.active());  // its last frame was written
}

// A SIGHUP or the interface back during a scan: nothing under way starts again, and however
// often it was asked, one scan more follows.
TEST(ModuleScan, AskedAgainWhileUnderWayFollowsOnceAfterIt) {
    ModuleTable t;
    ModuleScan scan;
    scan.begin(1000);
    std::size_t sent = scan.due(t, 0, 0).frames.size();
    for (int i = 0; i < 200; ++i) scan.begin(1001);
    EXPECT_TRUE(scan.again());
    std::vector<std::string> lines;
    sent += drain(scan, t, 10, &lines).size();   // the last went out at 10
    EXPECT_EQ(sent, 254u);  // the first scan's type requests, once
    EXPECT_TRUE(lines.empty());
    drain(scan, t, 3010, &lines);                 // nobody answered: no details
    scan.due(t, 3030, 0);                         // over: the one asked for follows
    EXPECT_TRUE(scan.active());
    EXPECT_FALSE(scan.again());
    const std::vector<Bytes> second = drain(scan, t, 3040, &lines);
    EXPECT_EQ(second.size(), 254u);
    drain(scan, t, 6040, &lines);
    scan.due(t, 6050, 0);
    EXPECT_FALSE(scan.active());  // and no third
    // Each answered by no one; the first scan's opening line was taken above.
    EXPECT_EQ(lines, (std::vector<std::string>{"scan of the bus: 0 modules answered; asking their channel and module names",
                                               "scan of the bus: a type request to every address, $01 to $FE",
                                               "scan of the bus: 0 modules answered; asking their channel and module names"}));
}

TEST(ModuleScan, AsksEachTypeAsItNamesItsChannels) {
    const struct {
        const char* reply;  // type reply from $30
        std::vector<const char*> requests;
    } cases[] = {
        {"FF 0B 67 89 01 14 09", {"EF FF"}},                    // bits: all at once, no name memory
        {"FF 0C 00 78 90 01 14 09", {"EF FF"}},                 // one channel: bit and number alike
        {"FF 15 45 67 01 14 10", {"EF 01", "C9 00 B0", "C9 00 B4", "C9 00 B8", "C9 00 BC", "C9 00 C0", "C9 00 C4",
                                  "C9 00 C8", "C9 00 CC", "C9 00 D0", "C9 00 D4", "C9 00 D8", "C9 00 DC", "C9 00 E0",
                                  "C9 00 E4", "C9 00 E8", "C9 00 EC"}},
        {"FF 2A 45 67 01 14 10", {"C9 00 B0", "C9 00 B4", "C9 00 B8", "C9 00 BC", "C9 00 C0", "C9 00 C4",  // no
                                  "C9 00 C8", "C9 00 CC", "C9 00 D0", "C9 00 D4", "C9 00 D8", "C9 00 DC",  // channel
                                  "C9 00 E0", "C9 00 E4", "C9 00 E8", "C9 00 EC"}},                       // names
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
