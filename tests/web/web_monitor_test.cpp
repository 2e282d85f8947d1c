// What the web page is fed: the window's line texts and colours, the cap, the batches and the
// snapshot a page gets when it opens or comes back.
#include <gtest/gtest.h>

#include "routing/monitor.h"
#include "routing/statistics.h"
#include "support/fakes.h"
#include "web/json.h"
#include "web/module_json.h"
#include "web/web_monitor.h"

namespace tessel {
namespace {

using test::hexBytes;
using test::FakeClock;

constexpr DateValue kNow = 1362467289;  // 07:08:09

ReceivedFrame record(const std::string& hex, const std::string& text, bool wellFormed = true) {
    ReceivedFrame r;
    r.bytes = hexBytes(hex);
    r.length = static_cast<std::int64_t>(r.bytes.size());
    r.text = text;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) r.sender = std::stoll(text);
    r.wellFormed = wellFormed ? 1 : 0;
    return r;
}

ClientTable oneClient() { return test::clientTableOf({test::clientRecord(7, "10.0.0.7", 4000)}); }

// The data line of an event.
std::string dataOf(const std::string& event) {
    const auto at = event.find("\ndata: ");
    return at == std::string::npos ? "" : event.substr(at + 7, event.find('\n', at + 7) - at - 7);
}

std::string idOf(const std::string& event) {
    const auto at = event.find("id: ");
    return event.substr(at + 4, event.find('\n', at) - at - 4);
}

struct LineCase {
    const char* name;
    MonitorLine line;
    const char* json;
};

class WebLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(WebLines, CarryTheWindowsTextsColoursAndIconsInUtf8) {
    EXPECT_EQ(monitorLineJson(GetParam().line), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Monitor, WebLines,
    ::testing::Values(
        LineCase{"LowPriorityBusFrame",
                 busMonitorLine(record("0F FB 40 07 E6 2B 00 26 00 30 00 48 04", "$40 (Temp: 21.5\xB0" "C) from VELBUS"), kNow),
                 R"j({"icon":3,"colour":"#149614","cells":["07:08:09","0FFB4007E62B00260030004804","13","48/48","$40 (Temp: 21.5°C) from VELBUS"]})j"},
        LineCase{"BusFrame", busMonitorLine(record("0F F8 30 04 00 01 00 00 C4 04", "$30 from VELBUS"), kNow),
                 R"j({"icon":3,"colour":"#96be1e","cells":["07:08:09","0FF8300400010000C404","10","C4/C4","$30 from VELBUS"]})j"},
        LineCase{"BusFrameWithWrongChecksum", busMonitorLine(record("0F F8 30 04 00 01 00 00 C5 04", "$30"), kNow),
                 R"j({"icon":2,"colour":"#c83232","cells":["07:08:09","0FF8300400010000C504","10","C4/C5","$30"]})j"},
        LineCase{"ClientFrame", clientMonitorLine(record("0F F8 10 02 02 01 E4 04", "7"), oneClient(), kNow),
                 R"j({"icon":1,"colour":"#3232c8","cells":["07:08:09","0FF810020201E404","8","E4/E4","$10 (RelOn N°1 (00000001)) from 10.0.0.7:4000"]})j"},
        LineCase{"ClientRunThatIsNoFrame", clientMonitorLine(record("41 42 0A", "7", false), oneClient(), kNow),
                 R"j({"icon":0,"colour":"#c83232","cells":["07:08:09","41420A","3","BF/42","$0A  from 10.0.0.7:4000"]})j"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Json, EscapesWhatJsonMustAndConvertsLatin9) {
    EXPECT_EQ(jsonString("a\"b\\c\n\t\x01\x7F"), R"j("a\"b\\c\n\t\u0001\u007f")j");
    EXPECT_EQ(jsonLatin9("\xA4 \xB0" "C \xBD"), "\"\xE2\x82\xAC \xC2\xB0" "C \xC5\x93\"");
    EXPECT_EQ(jsonLatin9(""), "\"\"");
}

TEST(WebMonitor, HoldsTheNewest500LinesAsTheCoreCapsThem) {
    WebMonitor web("run");
    MonitorList& list = web.monitorList();
    const ReceivedFrame frame = record("0F F8 30 04 00 01 00 00 C4 04", "$30");
    FrameQueue toClients;
    for (int i = 0; i < 501; ++i) toClients.push_back(frame);
    toClients.back().text = "newest";
    const std::string label = updateMonitor(list, {}, {}, toClients, {}, 0, 0, 0, 501, kNow);
    EXPECT_EQ(label, "Log line Number: 500");
    EXPECT_EQ(list.lineCount(), 500);
    EXPECT_EQ(list.readCell(0, kSourceColumn), "newest");
    EXPECT_EQ(list.readCell(500, kSourceColumn), "");
    // The batch carries what is held, oldest first, so the page puts each at the top in turn.
    const std::string data = dataOf(web.takeBatch());
    EXPECT_EQ(data.rfind("newest"), data.find("newest"));
    EXPECT_GT(data.find("newest"), data.rfind("\"$30\""));
    EXPECT_FALSE(web.hasPending());
}

TEST(WebMonitor, BatchesCarryOnlyWhatChangedSinceTheLast) {
    WebMonitor web("run");
    EXPECT_FALSE(web.hasPending());
    web.monitorList().insertTop(busMonitorLine(record("0F F8 30 04 00 01 00 00 C4 04", "first"), kNow));
    ASSERT_TRUE(web.hasPending());
    const std::string first = web.takeBatch();
    EXPECT_EQ(idOf(first), "run-1");
    EXPECT_NE(first.find("event: batch\n"), std::string::npos);
    EXPECT_NE(dataOf(first).find("first"), std::string::npos);
    EXPECT_EQ(dataOf(first).find("\"clients\""), std::string::npos);

    ClientRow row;
    row.rowKey = 4;
    row.address = "10.0.0.7 (4000)";
    row.startDate = "2026-12-07 22:20:50";
    row.errors = "0";
    web.clientList().clear();
    web.clientList().insertTop(row);
    const std::string second = dataOf(web.takeBatch());
    EXPECT_EQ(second, R"j({"lines":[],"clients":[{"key":4,"active":true,"cells":["10.0.0.7 (4000)","2026-12-07 22:20:50","","0"]}],"moreEnded":0})j");
    EXPECT_EQ(web.lastEventId(), "run-2");
}

// After the first list, a batch carries only the rows that came, changed or went.
TEST(WebMonitor, BatchesCarryOnlyTheClientRowsThatChanged) {
    WebMonitor web("run");
    ClientTable table;
    FakeClock clock;
    clock.date = 1'796'681'650;
    NetworkState net;
    for (ClientId id = 1; id <= 300; ++id) {
        clientConnected(table, web.clientList(), net, id, clock.now());
        clientDisconnected(table, web.clientList(), id, clock.date);
    }
    web.takeBatch();
    clientConnected(table, web.clientList(), net, 301, clock.now());
    EXPECT_EQ(dataOf(web.takeBatch()),
              R"j({"lines":[],"clientChanges":[{"row":{"key":301,"active":true,"cells":["0.0.0.0 (0)","2026-12-07 22:14:10","","0"]}}],"moreEnded":0})j");
    clientDisconnected(table, web.clientList(), 301, clock.date);
    clock.date += 3601;
    clientDisconnected(table, web.clientList(), 0, clock.date);
    const std::string gone = dataOf(web.takeBatch());
    EXPECT_NE(gone.find(R"j({"gone":1},{"gone":2},)j"), std::string::npos);
    EXPECT_NE(gone.find(R"j({"gone":301}],"moreEnded":0})j"), std::string::npos);
    EXPECT_EQ(gone.find("cells"), std::string::npos);  // a row that came and went within the batch
    // A page that opens now gets the list whole, here empty.
    EXPECT_NE(dataOf(web.snapshotEvent({})).find(R"j("clients":[],"moreEnded":0)j"), std::string::npos);
}

TEST(WebMonitor, ModuleRowsGoInTheBatchThatFollowsTheirChangeAndAllInTheSnapshot) {
    WebMonitor web("run");
    web.setWallClock([] { return std::int64_t{1'796'844'400}; });
    ModuleTable table;
    learnFromFrame(table, test::hexBytes("0F FB 10 07 FF 11 12 34 01 14 20 00 04"), true, 1'796'844'390);
    learnFromFrame(table, test::hexBytes("0F FB 20 07 FF 15 45 67 01 14 10 00 04"), true, 1'796'844'391);
    web.setModuleRow(0x10, moduleJson(*moduleAt(table, 0x10)));
    web.setModuleRow(0x20, moduleJson(*moduleAt(table, 0x20)));
    EXPECT_TRUE(web.hasPending());
    const std::string first = dataOf(web.takeBatch());
    EXPECT_NE(first.find(R"j("moduleChanges":[{"address":16,"subAddresses":[],"type":"VMB4RYNO","typeCode":17,"name":"","serial":"1234","memoryMap":1,"build":"14-20","channels":[],"firstSeen":1796844390,"lastSeen":1796844390,"frames":1,"restarts":0,"lastRestart":null,"heardSinceStart":true,"silent":false,"inProject":true,"namesMissing":true},{"address":32,)j"),
              std::string::npos) << first;
    EXPECT_NE(first.find(R"j(],"now":1796844400)j"), std::string::npos);
    // The same row again changes nothing; a changed one goes alone.
    web.setModuleRow(0x10, moduleJson(*moduleAt(table, 0x10)));
    EXPECT_FALSE(web.hasPending());
    learnFromFrame(table, test::hexBytes("0F FB 10 07 CC 00 E3 4B 69 74 FF 00 04"), true, 1'796'844'399);
    web.setModuleRow(0x10, moduleJson(*moduleAt(table, 0x10)));
    const std::string second = dataOf(web.takeBatch());
    EXPECT_NE(second.find(R"j("moduleChanges":[{"address":16,)j"), std::string::npos);
    EXPECT_NE(second.find(R"j("name":"Kit")j"), std::string::npos);
    EXPECT_EQ(second.find(R"j("address":32)j"), std::string::npos);
    EXPECT_EQ(dataOf(web.takeBatch()).find("module"), std::string::npos);
    const std::string snapshot = dataOf(web.snapshotEvent({}));
    EXPECT_NE(snapshot.find(R"j("modules":[{"address":16,)j"), std::string::npos);
    EXPECT_NE(snapshot.find(R"j({"address":32,)j"), std::string::npos);
}

TEST(WebMonitor, TheSnapshotListsTheNewestEndedClientsAndCountsTheRest) {
    WebMonitor web("run");
    ClientTable table;
    table.endedLimit = 100;
    FakeClock clock;
    NetworkState net;
    for (ClientId id = 1; id <= 250; ++id) {
        clientConnected(table, web.clientList(), net, id, clock.now());
        clientDisconnected(table, web.clientList(), id, clock.date);
    }
    clientConnected(table, web.clientList(), net, 251, clock.now());
    const std::string data = dataOf(web.snapshotEvent({}));
    int rows = 0;
    for (auto at = data.find("\"key\":"); at != std::string::npos; at = data.find("\"key\":", at + 1)) ++rows;
    EXPECT_EQ(rows, 101);
    EXPECT_NE(data.find(R"j("clients":[{"key":251,"active":true)j"), std::string::npos);
    EXPECT_NE(data.find(R"j({"key":151,"active":false)j"), std::string::npos);
    EXPECT_EQ(data.find(R"j({"key":150,)j"), std::string::npos);
    EXPECT_NE(data.find(R"j("moreEnded":150)j"), std::string::npos);
}

TEST(WebMonitor, GraphsAreTheSamplesAsTheWindowsBarsInPixels) {
    WebMonitor web("run");
    std::deque<BandwidthSample> history(kGraphWidth);
    history[kGraphWidth - 1].rxHeight = 16;  // 960 bit/s: rows 8 to 24
    history[kGraphWidth - 2].rxHeight = 40;  // clipped at the top
    history[kGraphWidth - 1].txHeight = 0;   // the base line only
    web.statsView().setRates("960.0", "0.0");
    web.statsView().showSamples(history);
    web.statsView().setUptime("UpTime: 0y 0m 1d and 01:01:01", "22:31:00");
    const std::string data = dataOf(web.takeBatch());
    EXPECT_NE(data.find("\"rx\":\"960.0\",\"tx\":\"0.0\""), std::string::npos) << data;
    EXPECT_NE(data.find(",1,25,17],\"txBars\":[1,"), std::string::npos) << data;
    EXPECT_NE(data.find("\"uptime\":\"UpTime: 0y 0m 1d and 01:01:01\",\"clock\":\"22:31:00\""), std::string::npos);
}

struct ResumeCase {
    const char* name;
    std::string lastEventId;
    bool reset;
    std::vector<std::string> lines;  // sources carried, oldest first
};

class Snapshot : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(Snapshot, ResumesFromTheLinesStillHeldOrStartsAfresh) {
    WebMonitor web("run");
    for (const char* source : {"one", "two", "three"}) {
        web.monitorList().insertTop(busMonitorLine(record("0F F8 30 04 00 01 00 00 C4 04", source), kNow));
        web.takeBatch();
    }
    web.monitorList().insertTop(busMonitorLine(record("0F F8 30 04 00 01 00 00 C4 04", "unsent"), kNow));
    web.setStatus({"3.08", "/dev/ttyACM0", false, false, false, {"0.0.0.0:8080"}});

    const std::string event = web.snapshotEvent(GetParam().lastEventId);
    EXPECT_EQ(event.rfind("retry: 2000\n", 0), 0u);
    EXPECT_EQ(idOf(event), "run-3");
    const std::string data = dataOf(event);
    EXPECT_EQ(data.rfind(GetParam().reset ? "{\"reset\":true," : "{\"reset\":false,", 0), 0u) << data;
    std::vector<std::string> carried;
    for (const char* source : {"one", "two", "three", "unsent"}) {
        if (data.find(std::string("\"") + source + "\"") != std::string::npos) carried.push_back(source);
    }
    EXPECT_EQ(carried, GetParam().lines);
    // The rest of the state always comes whole.
    EXPECT_NE(data.find(R"j("status":{"version":"3.08","device":"/dev/ttyACM0","serialUp":false,"busOff":false,"writesHeld":false,"listening":["0.0.0.0:8080"],"capture":true})j"),
              std::string::npos);
    EXPECT_NE(data.find("\"clients\":[]"), std::string::npos);
    EXPECT_NE(data.find("\"rxBars\":[1,1,"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    WebMonitor, Snapshot,
    ::testing::Values(ResumeCase{"FirstOpen", "", true, {"one", "two", "three"}},
                      ResumeCase{"AfterTheFirstBatch", "run-1", false, {"two", "three"}},
                      ResumeCase{"UpToDate", "run-3", false, {}},
                      ResumeCase{"AnEarlierRun", "other-2", true, {"one", "two", "three"}},
                      ResumeCase{"AheadOfThisRun", "run-9", true, {"one", "two", "three"}},
                      ResumeCase{"Garbage", "run-x", true, {"one", "two", "three"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WebMonitor, EventIdsAreReadBackOnlyForThisRun) {
    EXPECT_EQ(eventSequence("abc-12", "abc"), 12);
    EXPECT_EQ(eventSequence("abc-0", "abc"), 0);
    for (const std::string bad : {"", "abc", "abc-", "abd-1", "abc-1x", "abc--1", "abc-+1", "ab-1",
                                  "abc-99999999999999999999"}) {
        EXPECT_EQ(eventSequence(bad, "abc"), -1) << bad;
    }
}

TEST(WebMonitor, LinesCappedAwayBeforeTheirBatchLeaveNothingPending) {
    WebMonitor web("run");
    web.monitorList().insertTop(busMonitorLine(record("0F F8 30 04 00 01 00 00 C4 04", "gone"), kNow));
    web.monitorList().removeLine(0);
    EXPECT_FALSE(web.hasPending());
    web.monitorList().insertTop(busMonitorLine(record("0F F8 30 04 00 01 00 00 C4 04", "cleared"), kNow));
    web.monitorList().clear();
    EXPECT_FALSE(web.hasPending());
}

}  // namespace
}  // namespace tessel
