// The module table's state file: what is written reads back the same, a damaged or foreign file
// is told apart from a missing one and can be set aside, and a write leaves no temporary behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "modules/module_state.h"
#include "tools/sim_replies.h"
#include "support/fakes.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNow = 1'800'000'000;  // the host's clock while reading

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
        learnFromFrame(t, sim::moduleFrame(kLowPriority, address, test::hexBytes(data)), true, now);
    };
    learn(0x10, "FF 11 12 34 01 14 20", 1000);
    learn(0x10, "CC 00 E3 4B 69 74 63", 1001);
    learn(0x10, "F0 01 57 6F 72 6B 74 6F", 1002);
    learn(0x50, "FF 1E 90 12 01 14 15", 1003);
    learn(0x50, "B0 1E 90 12 51 FF FF FF", 1004);
    learn(0x60, "ED 00 FF FF 00 00 00", 1005);  // a module whose type nobody asked
    learnFromFrame(t, sim::moduleFrame(kLowPriority, 0x00, {0xAB, 0x10}), true, 2000);
    markSilent(t, 1005 + 3600, 3600);
    return t;
}

TEST_F(StateFile, ReadsBackWhatWasWritten) {
    const ModuleTable written = aHouse();
    std::string error;
    ASSERT_TRUE(writeModuleState(written, path, error)) << error;
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    ModuleTable read;
    ASSERT_EQ(readModuleState(path, read, error, kNow), StateRead::Read) << error;
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
    EXPECT_EQ(readModuleState(path, t, error, kNow), StateRead::Missing);
}

TEST_F(StateFile, DamagedOrForeignFilesAreToldAndSetAside) {
    const std::string good = "tessel-serverd modules 1\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 1000 1 0 0\n";
    const struct {
        const char* what;
        std::string text;
        const char* error;
    } cases[] = {
        {"someone else's file", "[Settings]\nport=8080\n", "it does not begin with \"tessel-serverd modules 2\""},
        {"empty", "", "it does not begin with \"tessel-serverd modules 2\""},
        {"a later version", "tessel-serverd modules 3\n", "it does not begin with \"tessel-serverd modules 2\""},
        {"a torn line", good + "module 11 10 23", "line 3 does not read"},
        {"a name of the wrong length", good + "name 10 4B69\n", "line 3 does not read"},
        {"a name before its module", "tessel-serverd modules 1\nname 10 4B69\n", "line 2 does not read"},
        {"an address out of range", "tessel-serverd modules 1\nmodule FF 11 - 00 - FFFFFFFF 1 1 1 0 0\n", "line 2 does not read"},
        {"a module twice", good + good.substr(good.find('\n') + 1), "line 3 does not read"},
        {"a bad count", "tessel-serverd modules 1\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 x 1 0 0\n", "line 2 does not read"},
        {"binary", std::string("tessel-serverd modules 1\n\x00\x01\xFF", 28), "line 2 does not read"},
        {"a count that is not the modules'", "tessel-serverd modules 2\n" + good.substr(25) + "end 2\n",
         "line 3 does not count the 1 modules read before it"},
        {"a line after the last", "tessel-serverd modules 2\nend 0\n" + good.substr(25), "line 3 follows its last line"},
        {"a last line cut within", "tessel-serverd modules 2\n" + good.substr(25, good.size() - 27), "its last line is cut short"},
        {"a last-heard time in the far future",
         "tessel-serverd modules 2\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 9000000000000000000 1 0 0\nend 1\n",
         "line 2 has a time more than a day ahead of this host's clock"},
        {"a restart two days ahead",
         "tessel-serverd modules 1\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 1000 1 1 " + std::to_string(kNow + 2 * 86400) + "\n",
         "line 2 has a time more than a day ahead of this host's clock"},
        {"larger than any table", "tessel-serverd modules 2\n" + std::string(9 * 1024 * 1024, '#'),
         "it is larger than 8 MiB, more than any table"},
    };
    for (const auto& c : cases) {
        write(c.text);
        ModuleTable t;
        learnFromFrame(t, sim::moduleFrame(kLowPriority, 0x20, {0xFF, 0x15, 0, 1, 1, 1, 1}), true, 1);
        std::string error;
        EXPECT_EQ(readModuleState(path, t, error, kNow), StateRead::Damaged) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(countModules(t).known, 1) << c.what << ": the table is left as it was";
    }
    std::string movedTo;
    ASSERT_TRUE(setAsideStateFile(path, movedTo));
    EXPECT_EQ(movedTo, path + ".damaged");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(movedTo));
}

// A file cut at a line's end lacks its last line: what was read is kept, and the cut is said.
TEST_F(StateFile, ACutAtALinesEndIsToldAndWhatWasReadKept) {
    std::string error;
    ASSERT_TRUE(writeModuleState(aHouse(), path, error)) << error;
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_EQ(text.substr(text.size() - 6), "end 3\n");
    // Cut after the first module's lines.
    const std::size_t second = text.find("\nmodule 50");
    ASSERT_NE(second, std::string::npos);
    write(text.substr(0, second + 1));
    ModuleTable t;
    EXPECT_EQ(readModuleState(path, t, error, kNow), StateRead::Cut);
    EXPECT_EQ(error, "1 module read before the cut");
    EXPECT_EQ(countModules(t).known, 1);
    EXPECT_EQ(moduleName(*moduleAt(t, 0x10)), "Kitc");
}

// What stands in the file's place and is no file is named and left alone: never followed,
// never waited on.
TEST_F(StateFile, ADirectoryALinkOrAFifoInItsPlaceIsLeftAlone) {
    const std::string target = dir + "/elsewhere";
    {
        std::string error;
        ASSERT_TRUE(writeModuleState(aHouse(), target, error));
    }
    const struct {
        const char* what;
        std::function<void()> make;
        const char* error;
    } cases[] = {
        {"a directory", [&] { fs::create_directory(path); }, "it is a directory"},
        {"a link", [&] { fs::create_symlink(target, path); }, "it is a symbolic link"},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, "it is not a regular file"},
    };
    for (const auto& c : cases) {
        c.make();
        ModuleTable t;
        std::string error;
        EXPECT_EQ(readModuleState(path, t, error, kNow), StateRead::NotAFile) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(countModules(t).known, 0) << c.what;
        fs::remove(path);
    }
}

// A link planted where the temporary goes is replaced, not written through.
TEST_F(StateFile, ATemporaryPlantedAsALinkIsNotFollowed) {
    const std::string victim = dir + "/victim";
    write("");
    { std::ofstream(victim) << "precious\n"; }
    fs::create_symlink(victim, path + ".tmp");
    std::string error;
    ASSERT_TRUE(writeModuleState(aHouse(), path, error)) << error;
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious\n");
    ModuleTable t;
    EXPECT_EQ(readModuleState(path, t, error, kNow), StateRead::Read) << error;
    EXPECT_EQ(countModules(t).known, 3);
}

TEST_F(StateFile, OneServiceHoldsTheDirectoryAndASecondIsToldWhich) {
    std::string holder;
    UniqueFd first, second, third;
    ASSERT_EQ(lockStateDirectory(dir, first, holder), StateLock::Ours) << holder;
    EXPECT_EQ(lockStateDirectory(dir, second, holder), StateLock::Held);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(holder, "another tessel-serverd holds it (pid " + std::to_string(::getpid()) + ")");
    first.reset();
    EXPECT_EQ(lockStateDirectory(dir, third, holder), StateLock::Ours) << holder;
    EXPECT_EQ(lockStateDirectory(dir + "/not-there", second, holder), StateLock::Unavailable);
}

TEST_F(StateFile, AWriteThatCannotBeMadeSaysWhy) {
    std::string error;
    EXPECT_FALSE(writeModuleState(aHouse(), dir + "/no-such-dir/modules.state", error));
    EXPECT_NE(error.find("cannot write " + dir + "/no-such-dir/modules.state.tmp"), std::string::npos) << error;
}

}  // namespace
}  // namespace tessel
