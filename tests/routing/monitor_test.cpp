#include <gtest/gtest.h>

#include "routing/monitor.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;
using test::VectorMonitorList;

constexpr DateValue kNow = 1362467289;  // 07:08:09

ReceivedFrame busRecord(const std::string& hex, const std::string& text = "$05  from VELBUS") {
    ReceivedFrame r;
    r.bytes = hexBytes(hex);
    r.length = static_cast<std::int64_t>(r.bytes.size());
    r.text = text;
    return r;
}

ReceivedFrame clientRecord(const std::string& hex, ClientId id, bool wellFormed) {
    ReceivedFrame r = busRecord(hex, std::to_string(id));
    r.sender = id;
    r.wellFormed = wellFormed ? 1 : 0;
    return r;
}

ClientTable twoClients() {
    return test::clientTableOf({test::clientRecord(7, "10.0.0.7", 4000), test::clientRecord(8, "127.0.0.1", 5123)});
}

struct ColourCase {
    const char* name;
    bool fromBus;
    const char* hex;
    bool wellFormed;
    MonitorIcon icon;
    Rgb colour;
};

class LineColours : public ::testing::TestWithParam<ColourCase> {};

TEST_P(LineColours, IconAndColourByDirectionAndSoundness) {
    const auto& c = GetParam();
    const MonitorLine line = c.fromBus ? busMonitorLine(busRecord(c.hex), kNow)
                                       : clientMonitorLine(clientRecord(c.hex, 8, c.wellFormed),
                                                           twoClients(), kNow);
    EXPECT_EQ(line.icon, c.icon);
    EXPECT_EQ(line.colour, c.colour);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineColours,
    ::testing::Values(
        ColourCase{"BusLowPriority", true, "0F FB 05 02 F6 03 F6 04", true, MonitorIcon::BusFrame, kLowPriorityGreen},
        ColourCase{"BusHighPriority", true, "0F F8 05 02 F6 03 F9 04", true, MonitorIcon::BusFrame, kBusYellowGreen},
        ColourCase{"BusBadChecksum", true, "0F FB 05 02 F6 03 F7 04", true, MonitorIcon::BusError, kErrorRed},
        ColourCase{"ClientSound", false, "0F FB 05 02 F6 03 F6 04", true, MonitorIcon::ClientFrame, kClientBlue},
        ColourCase{"ClientBadChecksum", false, "0F FB 05 02 F6 03 F7 04", true, MonitorIcon::ClientError, kErrorRed},
        // Not a frame, though its two checksum values happen to agree.
        ColourCase{"ClientNotAFrame", false, "0F FB 05 02 F6 03 F6 04", false, MonitorIcon::ClientError, kErrorRed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MonitorLineTexts, ColumnsOfABusFrame) {
    const MonitorLine line = busMonitorLine(busRecord("0F FB 05 02 F6 03 F6 04", "$05 (Led:On  %00000011) from VELBUS"), kNow);
    EXPECT_EQ(line.cells, (std::array<std::string, 5>{"07:08:09", "0FFB0502F603F604", "8", "F6/F6",
                                                      "$05 (Led:On  %00000011) from VELBUS"}));
}

TEST(MonitorLineTexts, ClientSourceNamesTheSenderAmongSeveralClients) {
    const MonitorLine line = clientMonitorLine(clientRecord("0F FB A3 02 EF 01 61 04", 8, true), twoClients(), kNow);
    EXPECT_EQ(line.cells[kSourceColumn], "$A3 (Name [Req.]) from 127.0.0.1:5123");
    const MonitorLine other = clientMonitorLine(clientRecord("0F FB A3 02 EF 01 61 04", 7, true), twoClients(), kNow);
    EXPECT_EQ(other.cells[kSourceColumn], "$A3 (Name [Req.]) from 10.0.0.7:4000");
}

TEST(MonitorLineTexts, MissingSenderRecordLeavesOutTheAddress) {
    const MonitorLine line = clientMonitorLine(clientRecord("0F", 99, false), twoClients(), kNow);
    EXPECT_EQ(line.cells[kSourceColumn], "$00 ");
    EXPECT_EQ(line.cells[kChecksumColumn], "00/--");
}

TEST(MonitorLineTexts, AFrameTheFrontEndSendsItselfIsNamedAfterIt) {
    ReceivedFrame own = busRecord("0F FB 00 04 D8 02 0B 05 08 04", "tessel-serverd");
    own.wellFormed = 1;
    const MonitorLine line = clientMonitorLine(own, twoClients(), kNow);
    EXPECT_EQ(line.cells[kSourceColumn], "$00 (Clock 11:05) from tessel-serverd");
    EXPECT_EQ(line.colour, kClientBlue);
}

struct FilterCase {
    bool on;
    bool invert;
    const char* text;
    const char* hex;
    bool passes;
};

class Filtering : public ::testing::TestWithParam<FilterCase> {};

TEST_P(Filtering, TruthTable) {
    const auto& c = GetParam();
    EXPECT_EQ(filterPasses({c.on, c.invert, c.text}, c.hex), c.passes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Filtering,
    ::testing::Values(
        FilterCase{false, false, "ZZ", "0FFB05", true},
        FilterCase{false, true, "0F", "0FFB05", true},
        FilterCase{true, false, "0FFB", "0FFB05", true},
        FilterCase{true, false, "0ffb", "0FFB05", true},
        FilterCase{true, false, "0FF8", "0FFB05", false},
        FilterCase{true, false, "F8", "0FF80A", false},
        FilterCase{true, true, "F8", "0FF80A", false},
        FilterCase{true, true, "0A", "0FF80A", false},
        FilterCase{true, true, "0A", "0FFB05", true},
        FilterCase{true, true, "A0", "0FFBA0", false},  // not on a byte boundary still counts
        FilterCase{true, false, "", "0FFB05", false},
        FilterCase{true, true, "", "0FFB05", true},
        FilterCase{true, false, "0F FB", "0FFB05", false}));

TEST(UpdateMonitor, ReverseOrderWithClientRunsAboveBusFrames) {
    FrameQueue toBus, toClients;
    toClients.push_back(busRecord("0F FB 01 00 F5 04"));  // from an earlier pass
    toClients.push_back(busRecord("0F FB 02 00 F4 04"));
    toClients.push_back(busRecord("0F FB 03 00 F3 04"));
    toBus.push_back(clientRecord("0F FB 04 00 F2 04", 8, true));
    toBus.push_back(clientRecord("0F FB 06 00 F0 04", 8, true));
    VectorMonitorList list;
    const std::string label = updateMonitor(list, {}, toBus, toClients, twoClients(), 0, 2, 1, 2, kNow);
    ASSERT_EQ(list.lines.size(), 4u);
    EXPECT_EQ(list.lines[0].cells[kHexColumn], "0FFB0600F004");
    EXPECT_EQ(list.lines[1].cells[kHexColumn], "0FFB0400F204");
    EXPECT_EQ(list.lines[2].cells[kHexColumn], "0FFB0300F304");
    EXPECT_EQ(list.lines[3].cells[kHexColumn], "0FFB0200F404");
    EXPECT_EQ(label, "Log line Number: 4");
}

TEST(UpdateMonitor, PassWithoutRecordsStillGivesTheCount) {
    VectorMonitorList list;
    EXPECT_EQ(updateMonitor(list, {}, {}, {}, {}, 0, 0, 0, 0, kNow), "Log line Number: 0");
}

TEST(UpdateMonitor, FiveHundredAndFirstLineDropsTheOldest) {
    VectorMonitorList list;
    FrameQueue toClients;
    for (int i = 0; i < 501; ++i) {
        toClients.push_back(busRecord(i == 0 ? "0F FB 01 00 F5 04" : "0F FB 02 00 F4 04"));
    }
    const std::string label = updateMonitor(list, {}, {}, toClients, {}, 0, 0, 0, 501, kNow);
    EXPECT_EQ(list.lines.size(), 500u);
    EXPECT_EQ(label, "Log line Number: 500");
    for (const auto& line : list.lines) EXPECT_EQ(line.cells[kHexColumn], "0FFB0200F404");
}

TEST(UpdateMonitor, FilteredRunsLeaveNoTrace) {
    VectorMonitorList list;
    FrameQueue toClients;
    toClients.push_back(busRecord("0F F8 05 00 F4 04"));
    toClients.push_back(busRecord("0F FB 05 00 F1 04"));
    updateMonitor(list, {true, false, "0FFB"}, {}, toClients, {}, 0, 0, 0, 2, kNow);
    ASSERT_EQ(list.lines.size(), 1u);
    EXPECT_EQ(list.lines[0].cells[kHexColumn], "0FFB0500F104");
}

}  // namespace
}  // namespace tessel
