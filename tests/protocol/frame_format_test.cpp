#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;

TEST(FrameFormat, WorkedExamplesChecksum) {
    const Bytes a = hexBytes("0F F8 00 01 0B ED 04");
    const Bytes b = hexBytes("0F F8 00 01 0C EC 04");
    EXPECT_EQ(frameChecksum(a, 4), 0xED);
    EXPECT_EQ(frameChecksum(b, 4), 0xEC);
    EXPECT_EQ(frameHexText(a), "0FF800010BED04");
    EXPECT_EQ(checksumPairText(a), "ED/ED");
}

TEST(FrameFormat, LengthUsesLowFourBitsOnly) {
    EXPECT_EQ(frameTotalLength(0x00), 6);
    EXPECT_EQ(frameTotalLength(0x41), 7);
    EXPECT_EQ(frameTotalLength(0x0F), 21);
    EXPECT_EQ(frameTotalLength(0xF8), 14);
}

TEST(FrameFormat, ChecksumOfMultipleOf256IsZero) {
    // 0F + F1 = 0x100
    const Bytes run = hexBytes("0F F1 00 00 00 04");
    EXPECT_EQ(frameChecksum(run, 3), 0x00);
}

TEST(FrameFormat, ChecksumNeverReadsPastTheRun) {
    const Bytes run = hexBytes("0F F8");
    EXPECT_EQ(frameChecksum(run, 10), static_cast<std::uint8_t>(-(0x0F + 0xF8)));
    EXPECT_EQ(frameChecksum(run, -1), 0x00);
}

TEST(FrameFormat, TextForms) {
    EXPECT_EQ(addressText(0x05), "$05");
    EXPECT_EQ(addressText(0xFF), "$FF");
    EXPECT_EQ(lengthText(7), "7");
    EXPECT_EQ(frameHexText(hexBytes("0A 00 FF")), "0A00FF");
    EXPECT_EQ(frameHexText(Bytes{}), "");
    const Bytes run(37, 0xAB);
    EXPECT_EQ(frameHexText(run).size(), 74u);
}

TEST(FrameFormat, ChecksumPairShowsMismatchAndShortRuns) {
    EXPECT_EQ(checksumPairText(hexBytes("0F F8 00 01 0B EE 04")), "ED/EE");
    EXPECT_FALSE(checksumPair(hexBytes("0F F8 00 01 0B EE 04")).agrees());
    // Runs too short to carry a checksum show "--" and never agree.
    EXPECT_EQ(checksumPairText(hexBytes("0F")), "00/--");
    EXPECT_FALSE(checksumPair(hexBytes("0F")).agrees());
    EXPECT_EQ(checksumPairText(Bytes{}), "00/--");
    EXPECT_EQ(checksumPairText(hexBytes("0F 01")), "00/0F");
}

struct RecognitionCase {
    const char* bytes;
    std::size_t start;
    Recognition::Kind kind;
    std::size_t length;
};

class Recognising : public ::testing::TestWithParam<RecognitionCase> {};

TEST_P(Recognising, AnswersFrameNotFrameOrUndecided) {
    const auto& c = GetParam();
    const Bytes bytes = hexBytes(c.bytes);
    const Recognition r = recognizeFrame(bytes, c.start);
    EXPECT_EQ(r.kind, c.kind);
    if (c.kind == Recognition::Kind::Frame) {
        EXPECT_EQ(r.length, c.length);
    }
}

using K = Recognition::Kind;
INSTANTIATE_TEST_SUITE_P(
    Table, Recognising,
    ::testing::Values(
        RecognitionCase{"0F F8 00 01 0B ED 04", 0, K::Frame, 7},
        RecognitionCase{"0F F8 00 00 F9 04", 0, K::Frame, 6},
        RecognitionCase{"0F F8 00 41 0B ED 04", 0, K::Frame, 7},
        RecognitionCase{"0F F8 00 01 0B 04 ED", 0, K::NotFrame, 0},
        RecognitionCase{"0F F8 00 01 0B ED 00 04", 0, K::NotFrame, 0},
        RecognitionCase{"0F F8 00 01 0B ED", 0, K::Undecided, 0},
        RecognitionCase{"0F F8 00", 0, K::Undecided, 0},
        RecognitionCase{"0F", 0, K::Undecided, 0},
        RecognitionCase{"AA 0F F8 00 00 F9 04", 1, K::Frame, 6},
        // N = 15: the 21st byte decides.
        RecognitionCase{"0F FB 01 0F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04", 0,
                        K::Frame, 21},
        RecognitionCase{"0F FB 01 0F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 0,
                        K::Undecided, 0}));

}  // namespace
}  // namespace tessel
