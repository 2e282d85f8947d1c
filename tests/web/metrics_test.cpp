// /metrics as a monitoring system reads it: every sample announced by HELP and TYPE, counters
// ending in _total, label values escaped; the refusal reasons as labels.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "web/metrics.h"

namespace tessel {
namespace {

struct Family {
    std::string type;
    bool help = false;
    std::map<std::string, std::string> samples;  // "name{labels}" -> value
};

// A reader of the text format strict enough to catch what a scraper refuses.
std::map<std::string, Family> parse(const std::string& text) {
    std::map<std::string, Family> families;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        EXPECT_FALSE(line.empty()) << "an empty line";
        if (line.rfind("# HELP ", 0) == 0) {
            current = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_FALSE(families.count(current)) << current << " announced twice";
            families[current].help = true;
        } else if (line.rfind("# TYPE ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(name, current) << "TYPE without its HELP";
            families[name].type = line.substr(line.rfind(' ') + 1);
        } else {
            const std::string key = line.substr(0, line.rfind(' '));
            const std::string name = key.substr(0, key.find('{'));
            EXPECT_EQ(name, current) << "a sample outside its family: " << line;
            EXPECT_FALSE(families[name].samples.count(key)) << "a sample twice: " << key;
            families[name].samples[key] = line.substr(line.rfind(' ') + 1);
        }
    }
    return families;
}

TEST(Metrics, EveryFamilyIsAnnouncedAndCountersEndInTotal) {
    MetricsValues v;
    v.version = "3.08";
    // Past what 32 bits hold: 68 years up, 5 GB from the bus.
    v.uptimeSeconds = 2147483653;
    v.busFramesReceived = 12;
    v.busFramesWritten = 5;
    v.clientRunsNotFrames = 2;
    v.busBytesReceived = 5000000150;
    v.busBytesWritten = 40;
    v.clientsConnected = 3;
    v.clientsRefused = {{RefusalReason::WrongKey, 4}};
    v.serialLost = 1;
    v.serialUp = false;
    v.busQueueFrames = 7;
    v.webStreams = 2;
    v.webRefused = {{401, 6}, {404, 1}};
    v.modulesKnown = 2;
    v.modulesSilent = 1;
    v.modules = {{"10", "VMB4RYNO", "Kitchen \"relays\"", "1234", "14-20", 1796844389},
                 {"40", "VMB1TS", "Salle \xE0 manger \xA4", "7890", "14-09", 1796840000}};
    const auto families = parse(metricsText(v));

    for (const auto& [name, family] : families) {
        EXPECT_TRUE(family.help) << name;
        EXPECT_EQ(name.rfind("tessel_", 0), 0u) << name;
        ASSERT_TRUE(family.type == "counter" || family.type == "gauge") << name;
        EXPECT_EQ(family.type == "counter", name.size() > 6 && name.substr(name.size() - 6) == "_total") << name;
        EXPECT_FALSE(family.samples.empty()) << name;
    }
    const std::map<std::string, std::string> expected{
        {"tessel_build_info{version=\"3.08\"}", "1"},
        {"tessel_uptime_seconds", "2147483653"},
        {"tessel_bus_frames_received_total", "12"},
        {"tessel_bus_frames_written_total", "5"},
        {"tessel_client_runs_not_frames_total", "2"},
        {"tessel_bus_bytes_total{direction=\"received\"}", "5000000150"},
        {"tessel_bus_bytes_total{direction=\"transmitted\"}", "40"},
        {"tessel_clients_connected", "3"},
        {"tessel_clients_refused_total{reason=\"wrong_key\"}", "4"},
        {"tessel_clients_refused_total{reason=\"key_timeout\"}", "0"},
        {"tessel_serial_lost_total", "1"},
        {"tessel_serial_up", "0"},
        {"tessel_bus_queue_frames", "7"},
        {"tessel_web_streams", "2"},
        {"tessel_web_refused_total{status=\"401\"}", "6"},
        {"tessel_web_refused_total{status=\"503\"}", "0"},
        {"tessel_modules{state=\"known\"}", "2"},
        {"tessel_modules{state=\"silent\"}", "1"},
        // Names in UTF-8 (the euro sign of ISO-8859-15 too), quotes escaped.
        {"tessel_module_info{address=\"10\",type=\"VMB4RYNO\",name=\"Kitchen \\\"relays\\\"\",serial=\"1234\",build=\"14-20\"}", "1"},
        {"tessel_module_info{address=\"40\",type=\"VMB1TS\",name=\"Salle \xC3\xA0 manger \xE2\x82\xAC\",serial=\"7890\",build=\"14-09\"}", "1"},
        {"tessel_module_last_seen_seconds{address=\"10\"}", "1796844389"},
        {"tessel_module_last_seen_seconds{address=\"40\"}", "1796840000"},
    };
    for (const auto& [key, value] : expected) {
        const std::string name = key.substr(0, key.find('{'));
        ASSERT_TRUE(families.count(name)) << name;
        const auto& samples = families.at(name).samples;
        ASSERT_TRUE(samples.count(key)) << key;
        EXPECT_EQ(samples.at(key), value) << key;
    }
}

TEST(Metrics, LabelValuesAreEscaped) {
    MetricsValues v;
    v.version = "3.08 \"test\" \\ build";
    EXPECT_NE(metricsText(v).find("tessel_build_info{version=\"3.08 \\\"test\\\" \\\\ build\"} 1\n"),
              std::string::npos);
}

TEST(Metrics, EveryRefusalReasonHasItsLabelListedAtZeroUntilCounted) {
    const std::pair<RefusalReason, const char*> table[] = {
        {RefusalReason::HandshakeTimeout, "handshake_timeout"},
        {RefusalReason::HandshakeFailed, "handshake_failed"},
        {RefusalReason::KeyTimeout, "key_timeout"},
        {RefusalReason::LeftBeforeKey, "left_before_key"},
        {RefusalReason::FrameBeforeKey, "frame_before_key"},
        {RefusalReason::WrongKey, "wrong_key"},
    };
    MetricsValues v;
    v.clientsRefused = {{RefusalReason::KeyTimeout, 2}};
    const std::string text = metricsText(v);
    for (const auto& [reason, label] : table) {
        EXPECT_STREQ(refusalKind(reason).label, label);
        const std::string sample = std::string("tessel_clients_refused_total{reason=\"") + label + "\"} " +
                                   (reason == RefusalReason::KeyTimeout ? "2" : "0") + "\n";
        EXPECT_NE(text.find(sample), std::string::npos) << sample;
    }
}

}  // namespace
}  // namespace tessel
