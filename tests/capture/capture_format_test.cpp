// The capture's lines both ways: what is written reads back the same, a line that is not one is
// refused, a torn last line is left out, and a script splitting on TABs gets six fields.
#include <gtest/gtest.h>

#include <sstream>

#include "capture/capture_record.h"
#include "support/fakes.h"
#include "tools/sim_replies.h"

namespace tessel {
namespace {

// 2026-12-09T21:04:05.123456Z
constexpr std::int64_t kEvening = 1796850245123456;

CaptureRecord record(CaptureDirection direction, std::string source, Bytes bytes, std::string text,
                     std::int64_t wall = kEvening, std::int64_t mono = 12'345'678) {
    return {wall, mono, direction, std::move(source), std::move(bytes), std::move(text)};
}

TEST(CaptureLine, RecordsReadBackAsTheyWereWritten) {
    const Bytes temperature = test::hexBytes("0F FB 40 07 E6 2B 20 27 20 2F 20 E8 04");
    const struct {
        CaptureRecord record;
        std::string line;
    } table[] = {
        {record(CaptureDirection::FromBus, "bus", temperature, captureFrameText(temperature)),
         "2026-12-09T21:04:05.123456Z\t12.345678\tfrom-bus\tbus\t0F FB 40 07 E6 2B 20 27 20 2F 20 E8 04\t"
         "$40 (Temp: 21.5\xC2\xB0" "C)\n"},
        {record(CaptureDirection::ToBus, "127.0.0.1:50312 on 0.0.0.0:8080 (plain)", test::hexBytes("0F 01 02"), ""),
         "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\t127.0.0.1:50312 on 0.0.0.0:8080 (plain)\t0F 01 02\t\n"},
        {record(CaptureDirection::Event, "bus", {}, "device /dev/ttyACM0 lost"),
         "2026-12-09T21:04:05.123456Z\t12.345678\tevent\tbus\t\tdevice /dev/ttyACM0 lost\n"},
        {record(CaptureDirection::ToBus, "tessel-serverd", test::hexBytes("0F FB 00 02 FA 00 F8 04"), "", 0, 0),
         "1970-01-01T00:00:00.000000Z\t0.000000\tto-bus\ttessel-serverd\t0F FB 00 02 FA 00 F8 04\t\n"},
        // Past 2038: the text needs no time_t of 64 bits to be read back.
        {record(CaptureDirection::Event, "bus", {}, "stopped", 4102444800000001, 999'999'999'999),
         "2100-01-01T00:00:00.000001Z\t999999.999999\tevent\tbus\t\tstopped\n"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(captureLine(row.record), row.line);
        std::string_view line = row.line;
        line.remove_suffix(1);
        const auto back = readCaptureLine(line);
        ASSERT_TRUE(back.has_value()) << row.line;
        EXPECT_EQ(*back, row.record) << row.line;
    }
}

TEST(CaptureLine, NoFieldHoldsATabOrALineBreak) {
    const std::string line =
        captureLine(record(CaptureDirection::Event, "a\tb\nc", {}, "name\twith\r\nbreaks\x7F"));
    EXPECT_EQ(line, "2026-12-09T21:04:05.123456Z\t12.345678\tevent\ta b c\t\tname with  breaks \n");
    EXPECT_TRUE(readCaptureLine(std::string_view(line).substr(0, line.size() - 1)).has_value());
}

TEST(CaptureLine, OnlySoundFramesHaveTheDecodersWords) {
    EXPECT_EQ(captureFrameText(test::hexBytes("0F F8 30 04 00 01 00 00 C4 04")), "$30 (Push: Btn N\xC2\xB0" "1 Pressed)");
    EXPECT_EQ(captureFrameText(test::hexBytes("0F F8 30 04 00 01 00 00 C5 04")), "");  // checksum
    EXPECT_EQ(captureFrameText(test::hexBytes("0F F8 30 04 00 01 00 00 C4")), "");     // cut short
    EXPECT_EQ(captureFrameText(test::hexBytes("0F 01 02")), "");
    EXPECT_EQ(captureFrameText({}), "");
}

TEST(CaptureLine, LinesThatAreNotRecordsAreRefused) {
    const char* good = "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F 01\tx";
    ASSERT_TRUE(readCaptureLine(good).has_value());
    ASSERT_TRUE(readCaptureLine(std::string(good) + "\r").has_value());  // saved by an editor elsewhere
    for (const char* bad : {
             "",
             "# a comment",
             "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F 01",            // five fields
             "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F 01\tx\ty",      // seven
             "2026-12-09 21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F 01\tx",         // the time's T
             "2026-13-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F 01\tx",         // month 13
             "2026-12-09T21:04:05.12345Z\t12.345678\tto-bus\tbus\t0F 01\tx",          // five decimals
             "2026-12-09T21:04:05.123456Z\t12.34567\tto-bus\tbus\t0F 01\tx",          // monotonic
             "2026-12-09T21:04:05.123456Z\t12345678\tto-bus\tbus\t0F 01\tx",
             "2026-12-09T21:04:05.123456Z\t12.345678\tsideways\tbus\t0F 01\tx",       // direction
             "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0G 01\tx",         // hex
             "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F01\tx",
             "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F 01 \tx",
             "2026-12-09T21:04:05.123456Z\t12.345678\tto-bus\tbus\t0F  01\tx",
         }) {
        EXPECT_FALSE(readCaptureLine(bad).has_value()) << bad;
    }
}

TEST(CaptureFile, HeaderNamesTheFormatHostDeviceAndVersion) {
    const CaptureHeader header{1, "kitchen\tpi", "/dev/ttyACM0", "3.08"};
    const std::string text = captureHeaderText(header);
    EXPECT_EQ(text,
              "# tessel-serverd capture 1\thost=kitchen pi\tdevice=/dev/ttyACM0\tversion=3.08\n"
              "# time\tmonotonic\tdirection\tsource\tbytes\ttext\n");
    const auto back = readCaptureHeader(text.substr(0, text.find('\n')));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, (CaptureHeader{1, "kitchen pi", "/dev/ttyACM0", "3.08"}));
    EXPECT_FALSE(readCaptureHeader("# time\tmonotonic").has_value());
}

TEST(CaptureFile, ReadsRunsAndLeavesATornLastLineOut) {
    const CaptureHeader header{1, "h", "/dev/pts/3", "3.08"};
    const CaptureRecord a = record(CaptureDirection::FromBus, "bus", test::hexBytes("0F 01"), "", kEvening, 5);
    const CaptureRecord b = record(CaptureDirection::ToBus, "tessel-serverd", test::hexBytes("0F 02"), "", kEvening + 9, 1);
    const std::string whole = captureHeaderText(header) + captureLine(a) + "not a record\n" +
                              captureHeaderText(header) + captureLine(b);
    {
        std::istringstream in(whole);
        const CaptureContents c = readCapture(in);
        EXPECT_EQ(c.error, "");
        EXPECT_EQ(c.headers.size(), 2u);
        EXPECT_EQ(c.records, (std::vector<CaptureRecord>{a, b}));
        EXPECT_EQ(c.runOf, (std::vector<std::size_t>{0, 1}));
        EXPECT_EQ(c.badLines, 1u);
        EXPECT_FALSE(c.tornLast);
    }
    for (std::size_t cut = 1; cut < captureLine(b).size(); ++cut) {
        std::istringstream in(whole.substr(0, whole.size() - cut));
        const CaptureContents c = readCapture(in);
        EXPECT_EQ(c.records, std::vector<CaptureRecord>{a}) << "cut " << cut;
        EXPECT_TRUE(c.tornLast);
        EXPECT_EQ(c.badLines, 1u);
    }
}

TEST(CaptureFile, WhatIsNotACaptureSaysSo) {
    const struct {
        std::string text, error;
    } table[] = {
        {"", "not a capture: it is empty"},
        {"0 RX 0F01\n", "not a capture: it does not begin with \"# tessel-serverd capture \""},
        {"# tessel-serverd capture 2\thost=h\n", "a capture of format 2, newer than this program's 1"},
    };
    for (const auto& row : table) {
        std::istringstream in(row.text);
        EXPECT_EQ(readCapture(in).error, row.error) << row.text;
    }
}

}  // namespace
}  // namespace tessel
