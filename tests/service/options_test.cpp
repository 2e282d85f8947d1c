#include <gtest/gtest.h>

#include <optional>

#include "service/options.h"

namespace tessel {
namespace {

ParsedOptions parse(std::vector<std::string> args) { return parseServiceOptions(args); }

TEST(ServiceOptions, NoOptionsLeaveEverythingToTheConfiguration) {
    const ParsedOptions p = parse({});
    ASSERT_TRUE(p.options);
    EXPECT_FALSE(p.options->configPath);
    EXPECT_FALSE(p.options->device);
    EXPECT_FALSE(p.options->port);
    EXPECT_EQ(p.options->bindAddress, "");
    EXPECT_FALSE(p.options->monitor);
    EXPECT_FALSE(p.options->noDelay);
}

TEST(ServiceOptions, EveryOptionInBothSpellings) {
    for (const auto& args : {std::vector<std::string>{"--config", "/etc/t.ini", "--device", "/dev/ttyACM0",
                                                       "--port", "9000", "--bind", "::1", "--monitor",
                                                       "--no-delay"},
                             std::vector<std::string>{"--config=/etc/t.ini", "--device=/dev/ttyACM0",
                                                       "--port=9000", "--bind=[::1]", "--monitor",
                                                       "--no-delay"}}) {
        const ParsedOptions p = parse(args);
        ASSERT_TRUE(p.options) << p.error;
        EXPECT_EQ(*p.options->configPath, "/etc/t.ini");
        EXPECT_EQ(*p.options->device, "/dev/ttyACM0");
        EXPECT_EQ(*p.options->port, 9000);
        EXPECT_TRUE(p.options->bindAddress == "::1" || p.options->bindAddress == "[::1]");
        EXPECT_TRUE(p.options->monitor);
        EXPECT_TRUE(p.options->noDelay);
    }
}

TEST(ServiceOptions, BindTakesIpv4AndIpv6Addresses) {
    for (const std::string address : {"0.0.0.0", "127.0.0.1", "::", "[::]", "::1", "fe80::1"}) {
        EXPECT_TRUE(parse({"--bind", address}).options) << address;
    }
}

struct BadCase {
    std::vector<std::string> args;
    std::string error;
};

class ServiceOptionsRefused : public ::testing::TestWithParam<BadCase> {};

TEST_P(ServiceOptionsRefused, WithAReason) {
    const ParsedOptions p = parseServiceOptions(GetParam().args);
    EXPECT_FALSE(p.options);
    EXPECT_EQ(p.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServiceOptionsRefused,
    ::testing::Values(
        BadCase{{"--verbose"}, "unknown option '--verbose'"},
        BadCase{{"dev/ttyACM0"}, "unknown option 'dev/ttyACM0'"},
        BadCase{{"--port"}, "--port needs a value"},
        BadCase{{"--port", "http"}, "--port takes a number from 1 to 65535, not 'http'"},
        BadCase{{"--port", "65536"}, "--port takes a number from 1 to 65535, not '65536'"},
        BadCase{{"--port", "-1"}, "--port takes a number from 1 to 65535, not '-1'"},
        BadCase{{"--port="}, "--port takes a number from 1 to 65535, not ''"},
        BadCase{{"--bind", "localhost"}, "--bind takes an IPv4 or IPv6 address, not 'localhost'"},
        BadCase{{"--bind", "300.1.1.1"}, "--bind takes an IPv4 or IPv6 address, not '300.1.1.1'"},
        BadCase{{"--device", ""}, "--device needs a device path"},
        BadCase{{"--config="}, "--config needs a file name"},
        BadCase{{"--monitor=yes"}, "--monitor takes no value"},
        BadCase{{"--web"}, "--web needs a value"},
        BadCase{{"--web", "http"}, "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not 'http'"},
        BadCase{{"--web", "70000"}, "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not '70000'"},
        BadCase{{"--web", "localhost:8081"}, "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not 'localhost:8081'"},
        BadCase{{"--web", "::1:8081"}, "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not '::1:8081'"},
        BadCase{{"--web", "127.0.0.1:"}, "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not '127.0.0.1:'"},
        BadCase{{"--web", "8081", "--web-peer", "supervisor"},
                "--web-peer takes an IPv4 or IPv6 address, not 'supervisor'"},
        BadCase{{"--web-peer", "172.30.32.2"}, "--web-peer needs --web"},
        BadCase{{"--web", "8081", "--web-peer-trusted"}, "--web-peer-trusted needs --web-peer"},
        BadCase{{"--listen", "8080"}, "--listen takes ADDRESS:PORT (127.0.0.1:8080, [::1]:8080), not '8080'"},
        BadCase{{"--listen", "::1:8080"}, "--listen takes ADDRESS:PORT (127.0.0.1:8080, [::1]:8080), not '::1:8080'"},
        BadCase{{"--listen-guarded", "host:1"}, "--listen-guarded takes ADDRESS:PORT (127.0.0.1:8080, [::1]:8080), not 'host:1'"},
        BadCase{{"--listen-guarded", "0.0.0.0:9000"},
                "--listen-guarded needs --tls-cert and --tls-key, --auth-key-file, or both"},
        BadCase{{"--listen", "127.0.0.1:8080", "--port", "9000"},
                "--bind and --port make the one listener; with --listen give each its address and port"},
        BadCase{{"--listen-guarded", "0.0.0.0:9000", "--auth-key-file", "k", "--bind", "::"},
                "--bind and --port make the one listener; with --listen give each its address and port"}));

// The peer as the web server names its connections' addresses, IPv6 shortened.
TEST(ServiceOptions, WebPeerInTheFormOfThePeersAddress) {
    EXPECT_FALSE(parse({"--web", "8081"}).options->webPeer);
    for (const auto& [given, kept] : {std::pair{"172.30.32.2", "172.30.32.2"}, std::pair{"0:0:0:0:0:0:0:1", "::1"},
                                      std::pair{"fd00:0::2", "fd00::2"}}) {
        const ParsedOptions p = parse({"--web", "0.0.0.0:8099", "--web-peer", given, "--web-peer-trusted"});
        ASSERT_TRUE(p.options) << given << ": " << p.error;
        EXPECT_EQ(p.options->webPeer, kept);
        EXPECT_TRUE(p.options->webPeerTrusted);
    }
}

TEST(ServiceOptions, ListenersInTheirOrderEachWithItsRule) {
    EXPECT_TRUE(parse({}).options->listeners.empty());
    const ParsedOptions p = parse({"--listen", "127.0.0.1:8080", "--listen-guarded=0.0.0.0:8443",
                                   "--auth-key-file", "key", "--listen", "[::1]:8081"});
    ASSERT_TRUE(p.options) << p.error;
    const std::vector<ListenerOption> expected{
        {"127.0.0.1", 8080, false}, {"0.0.0.0", 8443, true}, {"[::1]", 8081, false}};
    EXPECT_EQ(p.options->listeners, expected);
}

TEST(ServiceOptions, WebTakesAPortAndMaybeAnAddress) {
    EXPECT_FALSE(parse({}).options->webAddress);
    const struct {
        std::string value, address;
        std::uint16_t port;
    } table[] = {
        {"8081", "127.0.0.1", 8081},
        {"0.0.0.0:8081", "0.0.0.0", 8081},
        {"[::]:8081", "[::]", 8081},
        {"[::1]:9", "[::1]", 9},
        {"192.168.1.5:80", "192.168.1.5", 80},
    };
    for (const auto& row : table) {
        const ParsedOptions p = parse({"--web=" + row.value});
        ASSERT_TRUE(p.options) << row.value << ": " << p.error;
        EXPECT_EQ(*p.options->webAddress, row.address) << row.value;
        EXPECT_EQ(p.options->webPort, row.port) << row.value;
    }
}

TEST(ServiceOptions, TheFilesPortLineIsAPortOrRefused) {
    const struct {
        std::string line;
        std::optional<std::int64_t> port;
    } table[] = {
        {"", 8080},        {"  \t", 8080},      {"8081", 8081},     {" 8081\t", 8081}, {"$1F90", 8080},
        {"$1f90", 8080},   {"%1111101", 125},   {"1", 1},           {"65535", 65535},  {"0", std::nullopt},
        {"65536", std::nullopt}, {"-1", std::nullopt}, {"+80", std::nullopt}, {"abc", std::nullopt},
        {"80abc", std::nullopt}, {"80 80", std::nullopt}, {"$", std::nullopt}, {"%2", std::nullopt},
        {"$G", std::nullopt}, {"99999999999999999999", std::nullopt},
    };
    for (const auto& row : table) EXPECT_EQ(configuredPort(row.line), row.port) << "'" << row.line << "'";
}

TEST(ServiceOptions, TheModuleTablesOptions) {
    const ParsedOptions none = parse({});
    ASSERT_TRUE(none.options);
    EXPECT_FALSE(none.options->scan);
    EXPECT_EQ(none.options->silentAfterSeconds, 86400);
    EXPECT_FALSE(none.options->stateDir);
    const ParsedOptions p = parse({"--scan", "--silent-after=90m", "--state-dir", "/var/lib/tessel-serverd"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_TRUE(p.options->scan);
    EXPECT_EQ(p.options->silentAfterSeconds, 5400);
    EXPECT_EQ(*p.options->stateDir, "/var/lib/tessel-serverd");
    EXPECT_EQ(parse({"--silent-after", "0"}).options->silentAfterSeconds, 0);
    EXPECT_EQ(parse({"--scan=yes"}).error, "--scan takes no value");
    EXPECT_EQ(parse({"--state-dir="}).error, "--state-dir needs a directory");
    EXPECT_EQ(parse({"--silent-after", "1w"}).error,
              "--silent-after takes a duration (90s, 30m, 24h, 7d; 0: never), not '1w'");
}

TEST(ServiceOptions, DurationsInTheirUnits) {
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"0", 0}, {"45", 45}, {"45s", 45}, {"30m", 1800}, {"24h", 86400}, {"7d", 604800}, {"3660d", 3660 * 86400},
        {"", std::nullopt}, {"s", std::nullopt}, {"-5", std::nullopt}, {"1.5h", std::nullopt}, {"5 m", std::nullopt},
        {"10y", std::nullopt}, {"3661d", std::nullopt}, {"9999999999", std::nullopt}, {"12h30m", std::nullopt},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(durationSeconds(text), seconds) << text;
}

TEST(ServiceOptions, TheCapturesOptions) {
    const ParsedOptions none = parse({});
    EXPECT_EQ(none.options->captureMemory, 4 * 1024 * 1024);
    EXPECT_FALSE(none.options->captureFile);
    EXPECT_EQ(none.options->captureFileSize, 16 * 1024 * 1024);
    const ParsedOptions p = parse({"--capture-memory=8M", "--capture-file", "/var/log/bus.txt", "--capture-file-size", "1G"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->captureMemory, 8 * 1024 * 1024);
    EXPECT_EQ(*p.options->captureFile, "/var/log/bus.txt");
    EXPECT_EQ(p.options->captureFileSize, 1024 * 1024 * 1024);
    EXPECT_EQ(parse({"--capture-memory", "0"}).options->captureMemory, 0);
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        {{"--capture-memory", "1000"}, "--capture-memory takes a size from 64K to 1G (4M, 512K; 0: no capture), not '1000'"},
        {{"--capture-memory", "2G"}, "--capture-memory takes a size from 64K to 1G (4M, 512K; 0: no capture), not '2G'"},
        {{"--capture-memory", "4 M"}, "--capture-memory takes a size from 64K to 1G (4M, 512K; 0: no capture), not '4 M'"},
        {{"--capture-file="}, "--capture-file needs a file name"},
        {{"--capture-file-size", "1K"}, "--capture-file-size takes a size of at least 64K (16M, 1G), not '1K'"},
        {{"--capture-memory", "0", "--capture-file", "x"}, "--capture-file needs the capture: leave out --capture-memory 0"},
    };
    for (const auto& row : refused) EXPECT_EQ(parse(row.args).error, row.error) << row.args[0];
}

TEST(ServiceOptions, TheSerialLinesOptions) {
    const ParsedOptions none = parse({});
    EXPECT_EQ(none.options->baud, 9600);
    EXPECT_FALSE(none.options->rts);
    EXPECT_FALSE(none.options->dtr);
    const ParsedOptions p = parse({"--baud", "38400", "--rts=low", "--dtr", "high"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->baud, 38400);
    EXPECT_EQ(p.options->rts, false);
    EXPECT_EQ(p.options->dtr, true);
    for (const char* rate : {"9600", "19200", "57600", "115200"}) EXPECT_EQ(parse({"--baud", rate}).options->baud, std::stoi(rate));
    for (const char* rate : {"4800", "38400 ", "0", "", "fast"}) {
        EXPECT_EQ(parse({"--baud", rate}).error,
                  "--baud takes 9600, 19200, 38400, 57600 or 115200, not '" + std::string(rate) + "'");
    }
    EXPECT_EQ(parse({"--rts", "on"}).error, "--rts takes high or low, not 'on'");
    EXPECT_EQ(parse({"--dtr"}).error, "--dtr needs a value");
}

TEST(ServiceOptions, SizesInTheirUnits) {
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"0", 0}, {"65536", 65536}, {"64K", 65536}, {"64k", 65536}, {"64KiB", 65536}, {"4M", 4194304},
        {"4MiB", 4194304}, {"1G", 1073741824}, {"", std::nullopt}, {"M", std::nullopt}, {"-4M", std::nullopt},
        {"4T", std::nullopt}, {"4.5M", std::nullopt}, {"4mb", std::nullopt}, {"9999999999999", std::nullopt},
        {"2000G", std::nullopt},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(sizeBytes(text), bytes) << text;
}

TEST(ServiceOptions, HelpAndVersion) {
    EXPECT_TRUE(parse({"--help"}).options->help);
    EXPECT_TRUE(parse({"-h"}).options->help);
    EXPECT_TRUE(parse({"--version"}).options->version);
    EXPECT_NE(serviceUsage().find("tessel-serverd [--config FILE]"), std::string::npos);
}

TEST(ServiceOptions, EveryOptionOfTheTableIsInTheUsageAndTakesAValueOrNone) {
    const std::string usage = serviceUsage();
    const auto names = serviceOptionNames();
    EXPECT_GE(names.size(), 25u);
    for (const std::string& name : names) {
        if (name.rfind("--", 0) != 0) continue;  // -h, the short --help
        EXPECT_NE(usage.find(name), std::string::npos) << name;
        if (serviceOptionTakesValue(name)) {
            EXPECT_EQ(parse({name}).error, name + " needs a value");
        } else {
            EXPECT_EQ(parse({name + "=x"}).error, name + " takes no value") << name;
            EXPECT_TRUE(parse({name}).options || parse({name}).error.find("needs") != std::string::npos) << name;
        }
    }
    EXPECT_EQ(parse({"--nothing-such"}).error, "unknown option '--nothing-such'");
    EXPECT_EQ(parse({"--nothing-such=1"}).error, "--nothing-such takes no value");
}

TEST(ServiceOptions, ProjectFileTakesAFileName) {
    EXPECT_EQ(*parse({"--state-dir", "/var/lib/t", "--project-file", "house.vlp"}).options->projectFile, "house.vlp");
    EXPECT_EQ(*parse({"--project-file=/tmp/h.vlp"}).options->projectFile, "/tmp/h.vlp");
    EXPECT_EQ(parse({"--project-file"}).error, "--project-file needs a value");
    EXPECT_EQ(parse({"--project-file="}).error, "--project-file needs a file name");
    EXPECT_FALSE(parse({}).options->projectFile);
}

}  // namespace
}  // namespace tessel
