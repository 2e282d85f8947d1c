// However a byte stream is cut into reads, the frames found are those of one read of the whole.
#include <gtest/gtest.h>

#include <random>

#include "protocol/extractor.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;

Bytes randomFrame(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255), n(0, 15);
    const int dataBytes = n(rng);
    Bytes f{0x0F, static_cast<std::uint8_t>(byte(rng) & 1 ? 0xF8 : 0xFB),
            static_cast<std::uint8_t>(byte(rng)), static_cast<std::uint8_t>(dataBytes)};
    for (int i = 0; i < dataBytes; ++i) f.push_back(static_cast<std::uint8_t>(byte(rng)));
    f.push_back(frameChecksum(f, static_cast<std::int64_t>(f.size()) - 1));
    f.push_back(0x04);
    return f;
}

// Frames, junk, stray start bytes and truncated frames mixed together.
Bytes randomStream(std::mt19937& rng) {
    std::uniform_int_distribution<int> kind(0, 9), byte(0, 255);
    Bytes stream;
    for (int i = 0; i < 60; ++i) {
        const int k = kind(rng);
        if (k < 6) {
            const Bytes f = randomFrame(rng);
            stream.insert(stream.end(), f.begin(), f.end());
        } else if (k < 8) {
            stream.push_back(static_cast<std::uint8_t>(byte(rng)));
        } else if (k < 9) {
            stream.push_back(0x0F);
        } else {
            const Bytes f = randomFrame(rng);
            stream.insert(stream.end(), f.begin(), f.begin() + static_cast<std::ptrdiff_t>(f.size() / 2));
        }
    }
    return stream;
}

std::vector<Bytes> wellFormed(const std::vector<ExtractedRun>& runs) {
    std::vector<Bytes> frames;
    for (const auto& r : runs) {
        if (r.wellFormed) frames.push_back(r.bytes);
    }
    return frames;
}

std::vector<ExtractedRun> extract(FrameExtractor::Side side, const Bytes& stream,
                                  const std::vector<std::size_t>& cuts) {
    FrameExtractor x(side);
    std::vector<ExtractedRun> out;
    std::size_t at = 0;
    std::int64_t now = 0;
    for (std::size_t cut : cuts) {
        x.feed(ByteRun(stream.data() + at, cut - at), now++, out);
        at = cut;
    }
    x.feed(ByteRun(stream.data() + at, stream.size() - at), now++, out);
    x.finish(out);
    return out;
}

class SplitReads : public ::testing::TestWithParam<FrameExtractor::Side> {};

TEST_P(SplitReads, AnySplitFindsTheSameFrames) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        const Bytes stream = randomStream(rng);
        const auto whole = wellFormed(extract(GetParam(), stream, {}));
        ASSERT_FALSE(whole.empty());
        std::vector<std::size_t> cuts;
        std::uniform_int_distribution<std::size_t> step(1, 25);
        for (std::size_t at = step(rng); at < stream.size(); at += step(rng)) cuts.push_back(at);
        EXPECT_EQ(wellFormed(extract(GetParam(), stream, cuts)), whole) << "round " << round;
    }
}

TEST_P(SplitReads, ByteByByteFindsTheSameFrames) {
    std::mt19937 rng(777);
    const Bytes stream = randomStream(rng);
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1; at < stream.size(); ++at) cuts.push_back(at);
    EXPECT_EQ(wellFormed(extract(GetParam(), stream, cuts)), wellFormed(extract(GetParam(), stream, {})));
}

TEST_P(SplitReads, FramesEndInEndByteAtTheirLength) {
    std::mt19937 rng(99);
    const Bytes stream = randomStream(rng);
    for (const auto& run : extract(GetParam(), stream, {})) {
        if (!run.wellFormed) continue;
        ASSERT_GE(run.bytes.size(), 6u);
        EXPECT_EQ(run.bytes.size(), static_cast<std::size_t>(frameTotalLength(run.bytes[3])));
        EXPECT_EQ(run.bytes.back(), 0x04);
    }
}

INSTANTIATE_TEST_SUITE_P(BothSides, SplitReads,
                         ::testing::Values(FrameExtractor::Side::Bus, FrameExtractor::Side::Client));

// What the capture sees of the bus: every byte is in a frame or among those passed over, in
// whatever reads it came; a front end that does not ask keeps none.
TEST(PassedOver, EveryBusByteIsAFramesOrPassedOver) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 100; ++round) {
        const Bytes stream = randomStream(rng);
        std::vector<std::size_t> cuts;
        std::uniform_int_distribution<std::size_t> step(1, 25);
        for (std::size_t at = step(rng); at < stream.size(); at += step(rng)) cuts.push_back(at);
        for (const bool keep : {true, false}) {
            FrameExtractor x(FrameExtractor::Side::Bus);
            x.keepPassedOver(keep);
            std::vector<ExtractedRun> out;
            std::size_t at = 0, passed = 0;
            const auto take = [&] {
                for (const Bytes& run : x.passedOver()) {
                    EXPECT_FALSE(run.empty());
                    passed += run.size();
                }
                x.passedOver().clear();
            };
            for (const std::size_t cut : cuts) {
                x.feed(ByteRun(stream.data() + at, cut - at), 0, out);
                take();
                at = cut;
            }
            x.feed(ByteRun(stream.data() + at, stream.size() - at), 0, out);
            x.finish(out);
            take();
            std::size_t inFrames = 0;
            for (const auto& run : out) inFrames += run.bytes.size();
            EXPECT_EQ(inFrames + passed, keep ? stream.size() : inFrames) << "round " << round;
        }
    }
}

TEST(PassedOver, NoiseBetweenFramesIsOneRunEach) {
    FrameExtractor x(FrameExtractor::Side::Bus);
    x.keepPassedOver(true);
    std::vector<ExtractedRun> out;
    x.feed(hexBytes("55 AA 0F FB 00 01 0A EB 04 0F 01 02 00 05 06 0F FB 00 01 0A EB 04 FF"), 0, out);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(x.passedOver(), (std::vector<Bytes>{hexBytes("55 AA"), hexBytes("0F 01 02 00 05 06"), hexBytes("FF")}));
}

TEST(KeptRun, ExpiresOnlyAfterQuietTime) {
    FrameExtractor x(FrameExtractor::Side::Bus);
    std::vector<ExtractedRun> out;
    x.feed(hexBytes("0F F8 00 01"), 1000, out);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(x.expired(1100, 100));
    EXPECT_TRUE(x.expired(1101, 100));
}

TEST(KeptRun, GivingUpPassesOverTheStartByteAndScansOn) {
    // The first start fails at once; the second waits for 21 bytes that never come.
    FrameExtractor x(FrameExtractor::Side::Bus);
    std::vector<ExtractedRun> out;
    x.feed(hexBytes("0F 0F F8 00 0F F9"), 0, out);
    x.feed(hexBytes("04"), 1, out);
    EXPECT_TRUE(out.empty());
    x.finish(out);
    EXPECT_TRUE(out.empty());

    FrameExtractor y(FrameExtractor::Side::Bus);
    y.feed(hexBytes("0F 01 0F F8 00 00 F9 04"), 0, out);  // first start's end is beyond
    EXPECT_TRUE(out.empty());
    y.finish(out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, hexBytes("0F F8 00 00 F9 04"));
}

TEST(KeptRun, ClientSideQueuesTheRestAsNotWellFormed) {
    FrameExtractor x(FrameExtractor::Side::Client);
    std::vector<ExtractedRun> out;
    x.feed(hexBytes("0F F8 00 01 0B"), 0, out);
    EXPECT_TRUE(out.empty());
    x.feed(hexBytes("ED 04"), 1, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].wellFormed);
    EXPECT_EQ(out[0].bytes, hexBytes("0F F8 00 01 0B ED 04"));

    out.clear();
    x.feed(hexBytes("0F F8 00 01 0B"), 2, out);
    x.finish(out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out[0].wellFormed);
    EXPECT_EQ(out[0].bytes.size(), 5u);
}

}  // namespace
}  // namespace tessel
