#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "app/config.h"

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
                      ConfigCase{"\n8080\n", "", 8080},
                      ConfigCase{"", "", 0},
                      ConfigCase{"a\n1\nextra\n", "a", 1}));

TEST(NumberRule, BasesAndStops) {
    EXPECT_EQ(parseNumber("$ff"), 255);
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

}  // namespace
}  // namespace tessel
