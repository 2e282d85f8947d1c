// The service's watch over the module table: its journal lines (a module learned once its name
// is read, gone silent, heard again), the page's rows, and the state file across a restart.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "modules/module_state.h"
#include "service/module_watch.h"
#include "support/fakes.h"
#include "tools/sim_replies.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

FrameQueue busFrames(std::uint8_t address, std::initializer_list<const char*> data) {
    FrameQueue q;
    for (const char* d : data) {
        ReceivedFrame r;
        r.bytes = sim::moduleFrame(kLowPriority, address, test::hexBytes(d));
        r.length = static_cast<std::int64_t>(r.bytes.size());
        q.push_back(r);
    }
    return q;
}

class Watch : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessel-watch-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    ModuleWatch make(std::int64_t silentAfter = 3600, WebMonitor* web = nullptr) {
        return ModuleWatch({silentAfter, dir + "/modules.state"},
                           [this](const std::string& text, JournalLevel) { lines.push_back(text); }, web);
    }

    std::string dir;
    std::vector<std::string> lines;
};

TEST_F(Watch, AModuleIsSaidOnceItsNameIsReadAndAgainWhenSilentOrBack) {
    ModuleWatch w = make();
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20"}), 1000, 0);
    w.tick(1000, 5000);
    EXPECT_TRUE(lines.empty()) << "its name is not read yet";
    EXPECT_TRUE(fs::exists(dir + "/modules.state")) << "the first change is kept at once";
    EXPECT_EQ(test::dueIn(w.deadline(1000, 5000), 5000), 55'000) << "its line waits a minute at most for its name";
    w.framesPassed({}, busFrames(0x10, {"CC 00 E3 4B 69 74 63", "CC 00 E7 68 65 6E FF"}), 1015, 15'000);
    w.tick(1016, 16'999);
    EXPECT_TRUE(lines.empty()) << "what it says settles first";
    w.tick(1017, 17'000);
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 VMB4RYNO \"Kitchen\" serial 1234 build 14-20"});

    lines.clear();
    // The two clocks move together: the millisecond count began at 1000 s.
    w.tick(1015 + 3599, 3'614'000);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(test::dueIn(w.deadline(1015 + 3599, 3'614'000), 3'614'000), 1001);
    EXPECT_EQ(test::dueIn(w.nextCheck(), 3'614'000), 1001);
    w.tick(1015 + 3600, 3'615'001);
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 VMB4RYNO \"Kitchen\" serial 1234 build 14-20 silent: not heard for 1 h"});
    lines.clear();
    w.framesPassed({}, busFrames(0x10, {"FB 01 00 00 00 00 00 00"}), 1015 + 7200 + 120, 7'335'000);
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 VMB4RYNO \"Kitchen\" serial 1234 build 14-20 heard again after 2 h 2 min"});

    // A power-up: a restart of a module known, the first word of one that is not.
    lines.clear();
    w.framesPassed({}, busFrames(0x00, {"AB 10", "AB 33"}), 1015 + 7300, 7'336'000);
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 VMB4RYNO \"Kitchen\" serial 1234 build 14-20 restarted"});
    EXPECT_EQ(countModules(w.table()).known, 2);
}

TEST_F(Watch, AModuleWhoseNameNobodyReadsIsSaidWithoutOne) {
    ModuleWatch w = make();
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20"}), 1000, 0);
    w.tick(1059, 59'999);
    EXPECT_TRUE(lines.empty());
    w.tick(1060, 60'000);
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 VMB4RYNO serial 1234 build 14-20"});
}

TEST_F(Watch, TheTableOutlivesARestartAndIsWrittenAtMostOnceAMinute) {
    {
        ModuleWatch w = make();
        w.start(1000);
        w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20", "CC 00 E3 4B 69 74 FF"}), 1000, 1000);
        w.tick(1000, 1000);
        ASSERT_TRUE(fs::exists(dir + "/modules.state"));
        const auto written = fs::last_write_time(dir + "/modules.state");
        w.framesPassed({}, busFrames(0x20, {"FF 15 45 67 01 14 10"}), 1010, 10'000);
        w.tick(1010, 10'000);
        EXPECT_EQ(fs::last_write_time(dir + "/modules.state"), written) << "not again within the minute";
        EXPECT_EQ(test::dueIn(w.deadline(1010, 10'000), 10'000), 51'000) << "the next write, a minute after the last";
        w.stop();
    }
    lines.clear();
    {
        WebMonitor web("test");
        ModuleWatch again = make(3600, &web);
        again.start(1100);
        EXPECT_TRUE(lines.empty()) << "known already: no line of a module learned";
        ASSERT_EQ(countModules(again.table()).known, 2);
        EXPECT_EQ(moduleName(*moduleAt(again.table(), 0x10)), "Kit");
        EXPECT_FALSE(moduleAt(again.table(), 0x10)->heardSinceStart);
        const std::string snapshot = web.snapshotEvent("");
        EXPECT_NE(snapshot.find("\"address\":16,"), std::string::npos);
        EXPECT_NE(snapshot.find("\"address\":32,"), std::string::npos);
        EXPECT_NE(snapshot.find("\"heardSinceStart\":false"), std::string::npos);
    }

    // Quiet too long while the service was stopped: silent from the start, without a line.
    ModuleWatch late = make(60);
    late.start(5000);
    EXPECT_EQ(countModules(late.table()).silent, 2);
    EXPECT_TRUE(lines.empty());
}

TEST_F(Watch, AModuleHeardFirstAtItsSubAddressLeavesNoRowOfItsOwn) {
    WebMonitor web("test");
    ModuleWatch w = make(3600, &web);
    w.start(1000);
    w.framesPassed({}, busFrames(0x51, {"E6 29 00 28 00 2B 00"}), 1000, 0);
    w.tick(1000, 0);
    EXPECT_NE(web.takeBatch().find("\"address\":81,"), std::string::npos);
    // In one pass: heard again at the sub-address, then the module says it has it.
    FrameQueue pass = busFrames(0x51, {"E6 29 00 28 00 2B 00"});
    for (ReceivedFrame& r : busFrames(0x50, {"FF 1E 90 12 01 14 15", "B0 1E 90 12 51 FF FF FF"})) pass.push_back(r);
    w.framesPassed({}, pass, 1002, 2000);
    const std::string batch = web.takeBatch();
    EXPECT_NE(batch.find("\"modulesGone\":[81]"), std::string::npos) << batch;
    EXPECT_NE(batch.find("\"address\":80,\"subAddresses\":[81]"), std::string::npos) << batch;
    const std::string snapshot = web.snapshotEvent("");
    EXPECT_EQ(snapshot.find("\"address\":81,"), std::string::npos);
    EXPECT_EQ(countModules(w.table()).known, 1);
}

TEST_F(Watch, ADamagedStateFileIsSetAsideWithAWarning) {
    std::ofstream(dir + "/modules.state") << "tessel-serverd modules 1\nmodule 10 zz\n";
    ModuleWatch w = make();
    w.start(1000);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "the module table in " + dir + "/modules.state does not read (line 2 does not read): set aside as " +
                            dir + "/modules.state.damaged, starting with none");
    EXPECT_TRUE(fs::exists(dir + "/modules.state.damaged"));
    EXPECT_EQ(countModules(w.table()).known, 0);
}

TEST_F(Watch, AStateDirectoryThatCannotBeWrittenIsSaidOnce) {
    ModuleWatch w({3600, dir + "/gone/modules.state"},
                  [this](const std::string& text, JournalLevel) { lines.push_back(text); }, nullptr);
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20"}), 1000, 0);
    w.tick(1000, 0);
    w.framesPassed({}, busFrames(0x10, {"FB 01 00 00 00 00 00 00"}), 1100, 100'000);
    w.tick(1100, 100'000);
    ASSERT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("cannot keep", 0) == 0; }), 1);
}

}  // namespace
}  // namespace tessel

namespace tessel {
namespace {

// The journal reads UTF-8: a name's ISO-8859-15 bytes are converted, and a quote inside a name
// reads as part of it.
TEST_F(Watch, ModuleLinesAreUtf8WithTheirNamesQuoted) {
    ModuleWatch w = make();
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20", "CC 00 E3 45 6E 74 72", "CC 00 E7 E9 65 FF FF"}), 1000, 0);
    w.framesPassed({}, busFrames(0x12, {"FF 11 12 35 01 14 20", "CC 00 E3 41 22 20 42", "CC 00 E7 5C FF FF FF"}), 1000, 0);
    w.tick(1000, 60'000);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "module $10 VMB4RYNO \"Entr\xC3\xA9" "e\" serial 1234 build 14-20");
    EXPECT_EQ(lines[1], "module $12 VMB4RYNO \"A\\\" B\\\\\" serial 1235 build 14-20");
}

// A module restarting over and over says so once, then once a minute with the count.
TEST_F(Watch, RestartsFoldIntoALineAMinute) {
    ModuleWatch w = make();
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20"}), 1000, 0);
    w.tick(1000, 60'000);
    lines.clear();
    const FrameQueue powerUp = busFrames(0x00, {"AB 10"});
    for (int i = 0; i < 6; ++i) {
        w.framesPassed({}, powerUp, 1100 + i, 100'000 + i * 5'000);
        w.tick(1100 + i, 100'000 + i * 5'000);
    }
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 VMB4RYNO serial 1234 build 14-20 restarted"});
    EXPECT_EQ(test::dueIn(w.nextCheck(), 130'000), 30'000);
    w.tick(1160, 160'000);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "restarted 5 times in the last minute: module $10 VMB4RYNO serial 1234 build 14-20 restarted");
}

// A last-heard time far in the future (a clock that was set wrong) makes a deadline far away,
// never one that has passed: the loop would spin.
TEST_F(Watch, AFarFutureTimeNeverMakesADeadlineThatHasPassed) {
    ModuleWatch w = make(24 * 3600);
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20"}), 9'000'000'000'000'000'000, 0);
    w.tick(1000, 60'000);
    w.tick(1000, 120'000);  // the state file written
    EXPECT_GT(test::dueIn(w.deadline(1000, 120'000), 120'000), 1'000'000'000);
    const std::int64_t next = test::dueIn(w.nextCheck(), 120'000);
    EXPECT_TRUE(next < 0 || next > 1'000'000'000) << next;  // none, or far away
}

TEST_F(Watch, ASecondServiceOnTheDirectoryRunsWithoutAStateFile) {
    ModuleWatch first = make();
    first.start(1000);
    first.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20"}), 1000, 0);
    first.tick(1000, 0);
    const auto written = fs::last_write_time(dir + "/modules.state");
    ModuleWatch second = make();
    second.start(1000);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "the state directory " + dir + " is not this service's: another tessel-serverd holds it (pid " +
                            std::to_string(::getpid()) + "); running without a state file");
    EXPECT_EQ(countModules(second.table()).known, 0);
    second.framesPassed({}, busFrames(0x20, {"FF 15 45 67 01 14 10"}), 2000, 100'000);
    second.tick(2000, 200'000);
    second.stop();
    EXPECT_EQ(second.keepNow(), "");
    EXPECT_EQ(fs::last_write_time(dir + "/modules.state"), written);
    EXPECT_EQ(first.keepNow(), dir + "/modules.state");
}

TEST_F(Watch, ADirectoryInTheFilesPlaceIsNamedAndLeftAlone) {
    fs::create_directory(dir + "/modules.state");
    ModuleWatch w = make();
    w.start(1000);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "the module table's place " + dir +
                            "/modules.state holds no file (it is a directory): left as it is, and the module table is not kept");
    EXPECT_TRUE(fs::is_directory(dir + "/modules.state"));
    EXPECT_FALSE(fs::exists(dir + "/modules.state.damaged"));
}

}  // namespace
}  // namespace tessel

namespace tessel {
namespace {

ReceivedFrame clientWrite(std::uint8_t address, const char* data, SenderId sender) {
    ReceivedFrame r;
    r.bytes = sim::moduleFrame(kLowPriority, address, test::hexBytes(data));
    r.length = static_cast<std::int64_t>(r.bytes.size());
    r.wellFormed = 1;
    r.sender = sender;
    r.text = std::to_string(sender);
    return r;
}

// Memory writes at a module's names, four bytes or one at a time, from a client or seen on the
// bus, rename it in the table; once they have stopped for 2 s, one line per name that changed.
TEST_F(Watch, RenamesByMemoryWritesAreLearnedAndSaidOnceSettled) {
    WebMonitor web("test");
    ModuleWatch w = make(3600, &web);
    w.nameSenders([](SenderId id) { return id == 7 ? std::string("192.168.1.20:50312") : std::string("?"); });
    w.start(1000);
    w.framesPassed({}, busFrames(0x10, {"FF 11 12 34 01 14 20", "CC 00 E3 4B 69 74 63", "CC 00 E7 68 65 6E FF",
                                        "F0 01 57 6F 72 6B 74 6F", "F1 01 70 FF FF FF FF FF", "F2 01 FF FF FF FF"}),
                   1000, 0);
    w.tick(1000, 60'000);
    lines.clear();
    web.takeBatch();

    FrameQueue writes;
    for (const char* d : {"CA 00 E3 49 73 6C 61", "CA 00 E7 6E 64 FF FF", "CA 00 F0 49 73 6C 61", "CA 00 F4 6E 64 20 6C",
                          "FC 00 F8 61", "FC 00 F9 6D", "FC 00 FA 70", "FC 00 FB FF"}) {
        writes.push_back(clientWrite(0x10, d, 7));
    }
    w.framesPassed(writes, {}, 1100, 100'000);
    EXPECT_EQ(moduleName(*moduleAt(w.table(), 0x10)), "Island");
    EXPECT_EQ(channelNameText(moduleAt(w.table(), 0x10)->channels.at(1)), "Island lamp");
    EXPECT_NE(web.takeBatch().find("Island"), std::string::npos) << "the page's row";
    EXPECT_EQ(test::dueIn(w.nextCheck(), 100'000), kRenameSettleMillis);
    w.tick(1101, 101'999);
    EXPECT_TRUE(lines.empty()) << "not before the writes settle";
    w.tick(1102, 102'000);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "module $10 renamed \"Island\" (was \"Kitchen\") by 192.168.1.20:50312",
                         "module $10 channel 1 renamed \"Island lamp\" (was \"Worktop\") by 192.168.1.20:50312"}));

    // Seen on the bus: a tool elsewhere; a write that changes nothing says nothing.
    lines.clear();
    w.framesPassed({}, busFrames(0x10, {"CA 01 F0 50 6F 72 63", "CA 01 F4 68 FF FF FF"}), 1200, 200'000);
    w.framesPassed(FrameQueue{clientWrite(0x10, "FC 00 E3 49", 7)}, {}, 1200, 200'500);
    w.tick(1203, 203'000);
    EXPECT_EQ(lines, std::vector<std::string>{"module $10 channel 2 renamed \"Porch\" (was \"\") by the bus"});
    // A module the table does not know, or a write elsewhere in memory: nothing.
    lines.clear();
    w.framesPassed(FrameQueue{clientWrite(0x33, "CA 00 E3 41 41 41 41", 7), clientWrite(0x10, "CA 00 10 41 41 41 41", 7)}, {},
                   1300, 300'000);
    w.tick(1310, 310'000);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(moduleAt(w.table(), 0x33));
}

}  // namespace
}  // namespace tessel
