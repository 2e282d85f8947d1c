// The module table's state file: what is written reads back the same, a damaged or foreign file
// is told apart from a missing one and can be set aside, and a write leaves no temporary behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "modules/module_state.h"
#include "tools/sim_replies.h"
#include "support/fakes.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

class StateFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessel-state-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/modules.state";
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

    std::string dir, path;
};

ModuleTable aHouse() {
    ModuleTable t;
    const auto learn = [&](std::uint8_t address, const char* data, std::int64_t now) {
        learnFromFrame(t, sim::moduleFrame(sim::kLowPriority, address, test::hexBytes(data)), true, now);
    };
    learn(0x10, "FF 11 12 34 01 14 20", 1000);
    learn(0x10, "CC 00 E3 4B 69 74 63", 1001);
    learn(0x10, "F0 01 57 6F 72 6B 74 6F", 1002);
    learn(0x50, "FF 1E 90 12 01 14 15", 1003);
    learn(0x50, "B0 1E 90 12 51 FF FF FF", 1004);
    learn(0x60, "ED 00 FF FF 00 00 00", 1005);  // a module whose type nobody asked
    learnFromFrame(t, sim::moduleFrame(sim::kLowPriority, 0x00, {0xAB, 0x10}), true, 2000);
    markSilent(t, 1005 + 3600, 3600);
    return t;
}

TEST_F(StateFile, ReadsBackWhatWasWritten) {
    const ModuleTable written = aHouse();
    std::string error;
    ASSERT_TRUE(writeModuleState(written, path, error)) << error;
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    ModuleTable read;
    ASSERT_EQ(readModuleState(path, read, error), StateRead::Read) << error;
    for (std::size_t a = 0; a < 256; ++a) {
        ASSERT_EQ(read.byAddress[a].has_value(), written.byAddress[a].has_value()) << a;
        if (!read.byAddress[a]) continue;
        ModuleRecord expected = *written.byAddress[a];
        // Known again, but not heard since this start; silent or not is the clock's to say.
        expected.heardSinceStart = false;
        expected.silent = false;
        EXPECT_EQ(*read.byAddress[a], expected) << a;
    }
    EXPECT_EQ(moduleAt(read, 0x51)->address, 0x50);
    EXPECT_EQ(moduleName(*moduleAt(read, 0x10)), "Kitc");
}

TEST_F(StateFile, MissingIsNotDamaged) {
    ModuleTable t;
    std::string error;
    EXPECT_EQ(readModuleState(path, t, error), StateRead::Missing);
}

TEST_F(StateFile, DamagedOrForeignFilesAreToldAndSetAside) {
    const std::string good = "tessel-serverd modules 1\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 1000 1 0 0\n";
    const struct {
        const char* what;
        std::string text;
        const char* error;
    } cases[] = {
        {"someone else's file", "[Settings]\nport=8080\n", "it does not begin with \"tessel-serverd modules 1\""},
        {"empty", "", "it does not begin with \"tessel-serverd modules 1\""},
        {"a later version", "tessel-serverd modules 2\n", "it does not begin with \"tessel-serverd modules 1\""},
        {"a torn line", good + "module 11 10 23", "line 3 does not read"},
        {"a name of the wrong length", good + "name 10 4B69\n", "line 3 does not read"},
        {"a name before its module", "tessel-serverd modules 1\nname 10 4B69\n", "line 2 does not read"},
        {"an address out of range", "tessel-serverd modules 1\nmodule FF 11 - 00 - FFFFFFFF 1 1 1 0 0\n", "line 2 does not read"},
        {"a module twice", good + good.substr(good.find('\n') + 1), "line 3 does not read"},
        {"a bad count", "tessel-serverd modules 1\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 x 1 0 0\n", "line 2 does not read"},
        {"binary", std::string("tessel-serverd modules 1\n\x00\x01\xFF", 28), "line 2 does not read"},
    };
    for (const auto& c : cases) {
        write(c.text);
        ModuleTable t;
        learnFromFrame(t, sim::moduleFrame(sim::kLowPriority, 0x20, {0xFF, 0x15, 0, 1, 1, 1, 1}), true, 1);
        std::string error;
        EXPECT_EQ(readModuleState(path, t, error), StateRead::Damaged) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(countModules(t).known, 1) << c.what << ": the table is left as it was";
    }
    std::string movedTo;
    ASSERT_TRUE(setAsideStateFile(path, movedTo));
    EXPECT_EQ(movedTo, path + ".damaged");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(movedTo));
}

TEST_F(StateFile, AWriteThatCannotBeMadeSaysWhy) {
    std::string error;
    EXPECT_FALSE(writeModuleState(aHouse(), dir + "/no-such-dir/modules.state", error));
    EXPECT_NE(error.find("cannot write " + dir + "/no-such-dir/modules.state.tmp"), std::string::npos) << error;
}

}  // namespace
}  // namespace tessel
