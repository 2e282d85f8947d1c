#include <gtest/gtest.h>

#include "protocol/decoder.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;

// A frame 0F FB 05 len <data> cs 04 around the given data bytes (command first).
Bytes frameWith(const std::string& dataHex) {
    const Bytes data = hexBytes(dataHex);
    Bytes f{0x0F, 0xFB, 0x05, static_cast<std::uint8_t>(data.size())};
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(frameChecksum(f, static_cast<std::int64_t>(f.size()) - 1));
    f.push_back(0x04);
    return f;
}

struct DecodeCase {
    const char* tag;
    Bytes frame;
    std::string expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << frameHexText(c.frame); }

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, GivesExactText) {
    const auto& c = GetParam();
    EXPECT_EQ(decodeMessage(c.tag, c.frame, static_cast<std::int64_t>(c.frame.size())), c.expected);
}

// One row per command of the decoding table.
INSTANTIATE_TEST_SUITE_P(
    CommandTable, Decoding,
    ::testing::Values(
        DecodeCase{"VMB", frameWith("00 02 00 00"), "(Push: Btn N\xB0" "2 Pressed)"},
        DecodeCase{"VMB", frameWith("01 01"), "(RelOff N\xB0" "1 (00000001))"},
        DecodeCase{"VMB", frameWith("02 06"), "(RelOn 6 (^00000110v))"},
        DecodeCase{"VMB", frameWith("03 80"), "(RelTmr N\xB0" "8 (10000000))"},
        DecodeCase{"VMB", frameWith("04 01"), "(Blind)"},
        DecodeCase{"VMB", frameWith("05 01"), "(Blind)"},
        DecodeCase{"VMB", frameWith("07 01 32 00 00"), "(DimSet:50%)"},
        DecodeCase{"VMB", frameWith("0C"), "(Mod. Type)"},
        DecodeCase{"VMB", frameWith("0F 01 64"), "(Slider:100%)"},
        DecodeCase{"VMB", frameWith("C9"), "(Mem RW)"},
        DecodeCase{"VMB", frameWith("CC"), "(Mem RW)"},
        DecodeCase{"VMB", frameWith("D0"), "(LCD/BT)"},
        DecodeCase{"VMB", frameWith("D5"), "(LCD/BT)"},
        DecodeCase{"VMB", frameWith("D7"), "(Clock Req.)"},
        DecodeCase{"VMB", frameWith("D8 02 17 2D"), "(Clock 23:45)"},
        DecodeCase{"VMB", frameWith("D9"), "(CountErr Req.)"},
        DecodeCase{"VMB", frameWith("DA 03 00 01"), "(CntErr TX:3 RX:0BusOff:1)"},
        DecodeCase{"VMB", frameWith("E4"), "(Temp: funct.)"},
        DecodeCase{"VMB", frameWith("E8"), "(Temp: funct.)"},
        DecodeCase{"VMB", frameWith("E9"), "(Temp: funct.)"},
        DecodeCase{"VMB", frameWith("E5 00"), "(Temp: Req.)"},
        DecodeCase{"VMB", frameWith("E6 00 00 00 00 00 00"), "(Temp: 0.0\xB0" "C)"},
        DecodeCase{"VMB", frameWith("EA 00"), "(Temp: Status)"},
        DecodeCase{"VMB", frameWith("EC 0C 00 00"), "(Status-Relay 12 ON:---- Blk:----)"},
        DecodeCase{"VMB", frameWith("FA 00 00 F0"), "(Status-Relay N\xB0" "0 ON:---- Blk:4321)"},
        DecodeCase{"VMB", frameWith("FF 11 00 0F"), "(Status-Relay N\xB0" "1 ON:4321 Blk:----)"},
        DecodeCase{"VMB", frameWith("ED 05 80"), "(Status-Inp:%00000101 Led:%10000000)"},
        DecodeCase{"VMB", frameWith("EE 01 4B"), "(Status-Dimmer 75%)"},
        DecodeCase{"VMB", frameWith("EF 01"), "(Name [Req.])"},
        DecodeCase{"VMB", frameWith("F0 01 41 42 43 44 45 46"), "(Name [ ABCDEF])"},
        DecodeCase{"VMB", frameWith("F1 01 47 48 49 4A 4B 4C"), "(Name [ GHIJKL])"},
        DecodeCase{"VMB", frameWith("F2 01 4D 4E FF FF"), "(Name [ MN  ])"},
        DecodeCase{"VMB", frameWith("F5 01"), "(Led:Off  %00000001)"},
        DecodeCase{"VMB", frameWith("F6 03"), "(Led:On  %00000011)"},
        DecodeCase{"VMB", frameWith("F4 02"), "(Led:Blink  %00000010)"},
        DecodeCase{"VMB", frameWith("F7 02"), "(Led:Blink  %00000010)"},
        DecodeCase{"VMB", frameWith("F8 02"), "(Led:Blink  %00000010)"},
        DecodeCase{"VMB", frameWith("F9 02"), "(Led:Blink  %00000010)"},
        DecodeCase{"VMB", frameWith("FD 00 10"), "(Mem R/W $05)"},
        DecodeCase{"VMB", frameWith("FE 00 10 E0"), "(Mem R/W $05)"},
        DecodeCase{"VMB", frameWith("06"), ""},
        DecodeCase{"VMB", frameWith("C8"), ""},
        DecodeCase{"VMB", frameWith("D6"), ""}));

// The decoder's edge cases, every row written out.
INSTANTIATE_TEST_SUITE_P(
    EdgeCases, Decoding,
    ::testing::Values(
        DecodeCase{"VMB", hexBytes("0F FB 05 04 00 04 00 00 E9 04"), "(Push: Btn N\xB0" "3 Pressed)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 00 03 00 00 EA 04"), "(Push: Btn 3 Pressed)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 00 09 00 00 E4 04"), "(Temp out Status)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 00 59 00 00 94 04"), "(Temp out Status)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 00 00 80 00 6D 04"), "(Push: Btn N\xB0" "8 released)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 00 00 00 00 ED 04"), "(Push: Btn N\xB0" "0 Maintained)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 02 01 01 ED 04"), "(RelOff N\xB0" "1 (00000001))"},
        DecodeCase{"VMB", hexBytes("0F FB 05 02 02 06 E7 04"), "(RelOn 6 (^00000110v))"},
        DecodeCase{"VMB", hexBytes("0F FB 05 05 07 01 32 00 00 B2 04"), "(DimSet:50%)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 D8 02 07 05 07 04"), "(Clock 07:05)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 D8 02 7B 05 07 04"), "(Clock 12:05)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 04 DA 03 00 01 0F 04"), "(CntErr TX:3 RX:0BusOff:1)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04"), "(Temp: 21.5\xB0" "C)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 07 E6 FF 00 00 00 00 00 D9 04"), "(Temp: 127.5\xB0" "C)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 08 F0 01 4B 69 74 00 FF 5A 77 04"), "(Name [ Kit  Z])"},
        DecodeCase{"VMB", hexBytes("0F FB 05 02 F6 03 F6 04"), "(Led:On  %00000011)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 03 ED 05 80 7C 04"), "(Status-Inp:%00000101 Led:%10000000)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 08 FB 03 00 5A 00 00 00 00 91 04"), "(Status-Relay 3 ON:4-2- Blk:-3-1)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 08 FB 01 00 21 00 00 00 00 91 04"), "(Status-Relay N\xB0" "1 ON:---1 Blk:--2-)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 03 FE 00 10 E0 04"), "(Mem R/W $05)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 01 06 EA 04"), ""},
        DecodeCase{"IP", hexBytes("0F FB 05 01 06 EA 04"), "$05 "},
        DecodeCase{"IP", hexBytes("0F FB A3 02 EF 01 61 04"), "$A3 (Name [Req.])"},
        DecodeCase{"ip", hexBytes("0F FB A3 02 EF 01 61 04"), "(Name [Req.])"},
        // Arguments past a short frame's end read as zero; nothing beyond the run is read.
        DecodeCase{"VMB", hexBytes("0F FB 05 01 D8 1C 04"), "(Clock 04:00)"},
        DecodeCase{"VMB", hexBytes("0F FB 05 00 F2 04"), "(Name [     ])"},
        // A client run too short to hold a command byte decodes to nothing.
        DecodeCase{"IP", hexBytes("0F FB 05"), "$05 "},
        DecodeCase{"IP", hexBytes("0F"), "$00 "}));

struct ChannelCase {
    std::uint8_t value;
    int count;
    ChannelStyle style;
    std::string expected;
};

class Channels : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(Channels, Text) {
    const auto& c = GetParam();
    EXPECT_EQ(channelText(c.value, c.count, c.style), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Channels,
    ::testing::Values(
        ChannelCase{0x06, 8, ChannelStyle::Bits, "%00000110"},
        ChannelCase{0x00, 8, ChannelStyle::Compact, "N\xB0" "0"},
        ChannelCase{0x04, 8, ChannelStyle::Compact, "N\xB0" "3"},
        ChannelCase{0x03, 8, ChannelStyle::Compact, "3"},
        // Bits above the count are not counted, but the whole byte is shown.
        ChannelCase{0x31, 4, ChannelStyle::Compact, "N\xB0" "1"},
        ChannelCase{0x33, 4, ChannelStyle::Compact, "51"},
        ChannelCase{0x80, 8, ChannelStyle::Verbose, "N\xB0" "8 (10000000)"},
        ChannelCase{0x81, 8, ChannelStyle::Verbose, "129 (^10000001v)"},
        ChannelCase{0x05, 4, ChannelStyle::Bits, "%0101"}));

TEST(ChannelMap, PositionsHighestFirst) {
    EXPECT_EQ(channelMap(0x05, 4), "-3-1");
    EXPECT_EQ(channelMap(0x0A, 4), "4-2-");
    EXPECT_EQ(channelMap(0xF0, 4), "----");
    EXPECT_EQ(channelMap(0x0F, 4), "4321");
}

}  // namespace
}  // namespace tessel
