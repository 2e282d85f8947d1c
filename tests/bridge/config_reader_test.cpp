#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "bridge/config.h"

namespace tessel {
namespace {

struct ConfigCase {
    std::string content;
    std::string name;
    std::int64_t port;
};

class ConfigReader : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigReader, ReadsBothLines) {
    const Configuration c = parseConfiguration(GetParam().content);
    EXPECT_EQ(c.serialPortName, GetParam().name);
    EXPECT_EQ(c.ethernetPort, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigReader,
    ::testing::Values(ConfigCase{"/dev/ttyACM0\n8080\n", "/dev/ttyACM0", 8080},
                      ConfigCase{"/dev/ttyACM0\r\n8080\r\n", "/dev/ttyACM0", 8080},
                      ConfigCase{"/dev/ttyACM0\r8080\r", "/dev/ttyACM0", 8080},
                      ConfigCase{std::string("/dev/ttyUSB0\0junk\n9000", 21), "/dev/ttyUSB0", 0},
                      ConfigCase{"COM4", "COM4", 0},
                      ConfigCase{"COM4\n 8081xyz\n", "COM4", 8081},
                      ConfigCase{"COM4\n$1F90\n", "COM4", 8080},
                      ConfigCase{"COM4\n-5\n", "COM4", -5},
                      ConfigCase{"COM4\n\t+%1111\n", "COM4", 15},
                      ConfigCase{"COM4\nabc\n", "COM4", 0},
                      // 64 bits wide on every machine: 2^32 + 8080 is not port 8080.
                      ConfigCase{"COM4\n4294975376\n", "COM4", 4294975376},
                      ConfigCase{"\n8080\n", "", 8080},
                      ConfigCase{"", "", 0},
                      ConfigCase{"a\n1\nextra\n", "a", 1},
                      // A line is kept up to 4096 bytes; the rest of it is passed over.
                      ConfigCase{std::string(5000, 'x') + "\n8081\n", std::string(4096, 'x'), 8081},
                      ConfigCase{"COM4\n" + std::string(4100, '7') + "\n", "COM4",
                                 parseNumber(std::string(4096, '7'))}));

TEST(NumberRule, BasesAndStops) {
    EXPECT_EQ(parseNumber("$ff"), 255);
    EXPECT_EQ(parseNumber("$100000000"), 4294967296);
    EXPECT_EQ(parseNumber("%102"), 2);
    EXPECT_EQ(parseNumber("  -$10"), -16);
    EXPECT_EQ(parseNumber("12 34"), 12);
    EXPECT_EQ(parseNumber("- 5"), 0);
}

TEST(ConfigFile, WrittenWithTwoLineFeedEndedLinesAndReadBack) {
    const std::string path = ::testing::TempDir() + "tessel-config-test.ini";
    ASSERT_TRUE(writeConfigurationFile(path, {"/dev/pts/7", 8081}));
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "/dev/pts/7\n8081\n");
    const auto back = readConfigurationFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serialPortName, "/dev/pts/7");
    EXPECT_EQ(back->ethernetPort, 8081);
    std::remove(path.c_str());
    EXPECT_FALSE(readConfigurationFile(path));
}

// Only a regular file is read or written: anything else counts as a file that cannot be opened
// (read) or created (written), and nothing blocks or grows on it.
TEST(ConfigFile, PathsThatAreNotRegularFilesCountAsUnusable) {
    const std::string dir = ::testing::TempDir() + "tessel-config-kinds";
    ::mkdir(dir.c_str(), 0700);
    const std::string fifo = dir + "/fifo.ini";
    const std::string zero = dir + "/zero.ini";
    const std::string folder = dir + "/folder.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    for (const std::string& path : {fifo, zero, folder}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(readConfigurationFile(path));
        EXPECT_FALSE(writeConfigurationFile(path, {"/dev/ttyACM0", 8080}));
    }
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));  // left as it was
    ::unlink(fifo.c_str());
    ::unlink(zero.c_str());
    ::rmdir(folder.c_str());
    ::rmdir(dir.c_str());
}

TEST(ConfigFile, ALinkToARegularFileIsFollowed) {
    const std::string target = ::testing::TempDir() + "tessel-config-target.ini";
    const std::string link = ::testing::TempDir() + "tessel-config-link.ini";
    ::unlink(link.c_str());
    ASSERT_TRUE(writeConfigurationFile(target, {"/dev/ttyUSB1", 9001}));
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const auto back = readConfigurationFile(link);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serialPortName, "/dev/ttyUSB1");
    EXPECT_EQ(back->ethernetPort, 9001);
    ::unlink(link.c_str());
    ::unlink(target.c_str());
}

}  // namespace
}  // namespace tessel
