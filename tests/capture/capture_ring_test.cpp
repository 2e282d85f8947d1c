// The capture's ring: a fixed number of bytes whatever the traffic, the oldest records given up
// first, every kept record read back exactly (times, sources, bytes), and about 200,000 frames
// of a real bus in the 4 MiB of the default.
#include <gtest/gtest.h>

#include <string>

#include "capture/capture_ring.h"
#include "support/fakes.h"

namespace tessel {
namespace {

constexpr std::int64_t kEvening = 1796850245123456;

Bytes aFrame(int i) {
    // 8 to 14 bytes, as the modules' frames are.
    Bytes f = {0x0F, 0xFB, static_cast<std::uint8_t>(i & 0xFF), static_cast<std::uint8_t>(i % 9)};
    for (int k = 0; k < i % 9; ++k) f.push_back(static_cast<std::uint8_t>(i >> k));
    f.push_back(0x00);
    f.push_back(0x04);
    return f;
}

std::vector<CaptureRecord> everything(const CaptureRing& ring) {
    std::vector<CaptureRecord> out;
    CaptureRing::Reader reader(ring);
    CaptureRecord r;
    while (reader.next(r)) out.push_back(r);
    return out;
}

TEST(CaptureRing, KeepsTheNewestWithinItsBytes) {
    CaptureRing ring(kMinimumCaptureMemory);
    ring.nameClient(7, "127.0.0.1:50312");
    const int total = 20000;
    for (int i = 0; i < total; ++i) {
        const auto direction = i % 3 == 0 ? CaptureDirection::ToBus : CaptureDirection::FromBus;
        const std::int64_t mono = 1'000'000 + static_cast<std::int64_t>(i) * 6700;
        ring.add(kEvening + mono, mono, direction, direction == CaptureDirection::ToBus ? clientSource(7) : kBusSource,
                 aFrame(i));
        ASSERT_LE(ring.usedBytes(), ring.capacity());
    }
    const auto kept = everything(ring);
    ASSERT_EQ(kept.size(), ring.recordCount());
    EXPECT_EQ(static_cast<std::int64_t>(kept.size()) + ring.givenUp(), total);
    EXPECT_GT(kept.size(), 4000u);
    const int first = total - static_cast<int>(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const int i = first + static_cast<int>(k);
        const std::int64_t mono = 1'000'000 + static_cast<std::int64_t>(i) * 6700;
        ASSERT_EQ(kept[k].bytes, aFrame(i)) << i;
        ASSERT_EQ(kept[k].monoMicros, mono) << i;
        ASSERT_EQ(kept[k].wallMicros, kEvening + mono) << i;
        ASSERT_EQ(kept[k].source, i % 3 == 0 ? "127.0.0.1:50312" : "bus") << i;
    }
}

TEST(CaptureRing, AFullDefaultRingHoldsAbout200000Frames) {
    CaptureRing ring;
    ASSERT_EQ(ring.capacity(), 4u * 1024 * 1024);
    for (int i = 0; i < 400000; ++i) {
        const std::int64_t mono = static_cast<std::int64_t>(i) * 6700;
        ring.add(kEvening + mono, mono, CaptureDirection::FromBus, kBusSource, aFrame(i));
    }
    EXPECT_GE(ring.recordCount(), 190000u);
    EXPECT_LE(ring.usedBytes(), ring.capacity());
}

TEST(CaptureRing, AStepOfTheHostsClockIsKeptAndRecordsOfEveryKindReadBack) {
    CaptureRing ring(kMinimumCaptureMemory);
    ring.add(kEvening, 10, CaptureDirection::Event, kBusSource, {}, "device /dev/ttyACM0 back");
    ring.add(kEvening + 500, 510, CaptureDirection::ToBus, kServiceSource, test::hexBytes("0F FB 00 02 FA 00 FA 04"));
    // The host's clock set back an hour, then slewed by less than a millisecond.
    ring.add(kEvening - 3'600'000'000 + 1000, 1010, CaptureDirection::FromBus, kBusSource, test::hexBytes("0F 01"));
    ring.add(kEvening - 3'600'000'000 + 1400, 1500, CaptureDirection::FromBus, kBusSource, test::hexBytes("0F 02"));
    const auto kept = everything(ring);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0], (CaptureRecord{kEvening, 10, CaptureDirection::Event, "bus", {}, "device /dev/ttyACM0 back"}));
    EXPECT_EQ(kept[1].source, "tessel-serverd");
    EXPECT_EQ(kept[1].text.rfind("$00 ", 0), 0u) << kept[1].text;  // the decoder's words
    EXPECT_EQ(kept[2].wallMicros, kEvening - 3'600'000'000 + 1000);
    EXPECT_EQ(kept[2].text, "");
    // Within the millisecond's slack the wall time follows the monotonic clock.
    EXPECT_EQ(kept[3].wallMicros, kEvening - 3'600'000'000 + 1000 + 490);
}

TEST(CaptureRing, ALongRunKeepsItsFirstBytesAndSaysHowLongItWas) {
    CaptureRing ring(kMinimumCaptureMemory);
    const Bytes garbage(5000, 0x55);
    ring.add(kEvening, 0, CaptureDirection::ToBus, clientSource(1), garbage);
    const auto kept = everything(ring);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].bytes, Bytes(kCaptureRunBytes, 0x55));
    EXPECT_EQ(kept[0].text, "(5000 bytes, the first 1024 kept)");
    EXPECT_EQ(kept[0].source, "client 1");
}

TEST(CaptureRing, ClientNamesAreKeptForTheNewestClients) {
    CaptureRing ring(kMinimumCaptureMemory);
    for (std::int64_t id = 1; id <= static_cast<std::int64_t>(kCaptureNames) + 10; ++id) {
        ring.nameClient(id, "client at " + std::to_string(id));
    }
    ring.add(kEvening, 0, CaptureDirection::ToBus, clientSource(1), test::hexBytes("0F"));
    ring.add(kEvening, 0, CaptureDirection::ToBus, clientSource(kCaptureNames + 10), test::hexBytes("0F"));
    const auto kept = everything(ring);
    EXPECT_EQ(kept[0].source, "client 1");
    EXPECT_EQ(kept[1].source, "client at " + std::to_string(kCaptureNames + 10));
}

TEST(CaptureText, ADownloadIsTheHeaderAndTheRecordsSinceItsStartInAnyChunks) {
    CaptureRing ring(kMinimumCaptureMemory);
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t mono = static_cast<std::int64_t>(i) * 100'000;  // 5 minutes in all
        ring.add(kEvening + mono, mono, CaptureDirection::FromBus, kBusSource, aFrame(i));
    }
    const CaptureHeader header{1, "h", "/dev/pts/1", "3.08"};
    std::string expected = captureHeaderText(header);
    CaptureRing::Reader reader(ring);
    CaptureRecord r;
    std::size_t recent = 0;
    while (reader.next(r)) {
        if (r.wallMicros >= kEvening + 240'000'000) {
            expected += captureLine(r);
            ++recent;
        }
    }
    ASSERT_EQ(recent, 600u);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{32 * 1024}}) {
        CaptureText text(ring, header, kEvening + 240'000'000);
        std::string got;
        std::vector<char> buffer(chunk);
        for (std::size_t n; (n = text.read(buffer.data(), chunk)) > 0;) got.append(buffer.data(), n);
        EXPECT_EQ(got, expected) << "chunks of " << chunk;
    }
}

// A download reads the ring itself while it goes on: what is added after it began is not in
// it, and what the ring gave up before the download came to it is said where it was, the rest
// read back exactly.
TEST(CaptureText, ReadsTheRingAsItGoesOnAndSaysWhatItMissed) {
    CaptureRing ring(kMinimumCaptureMemory);
    const auto add = [&ring](int i) {
        const std::int64_t mono = static_cast<std::int64_t>(i) * 1000;
        ring.add(kEvening + mono, mono, CaptureDirection::FromBus, kBusSource, aFrame(i));
    };
    int added = 0;
    while (ring.givenUp() == 0) add(added++);
    const std::vector<CaptureRecord> before = everything(ring);
    const CaptureHeader header{1, "h", "/dev/pts/1", "3.08"};
    CaptureText text(ring, header, 0);
    char chunk[512];
    std::string got;
    got.append(chunk, text.read(chunk, sizeof chunk));
    // The ring turns over half its records: the download's next ones are gone.
    const std::size_t half = before.size() / 2;
    const std::int64_t givenUpBefore = ring.givenUp();
    while (static_cast<std::size_t>(ring.givenUp() - givenUpBefore) < half) add(added++);
    for (std::size_t n; (n = text.read(chunk, sizeof chunk)) > 0;) got.append(chunk, n);

    // What was read before the turn, a line for the gap, then the rest of what was there when
    // the download began, exactly, and nothing newer.
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1) lines.push_back(got.substr(at, end - at + 1));
    std::size_t gap = 0;
    while (gap < lines.size() && lines[gap].find("given up by the ring") == std::string::npos) ++gap;
    ASSERT_LT(gap, lines.size()) << "no line for the gap";
    const std::size_t headerLines = 2;
    ASSERT_GE(gap, headerLines);
    const std::size_t readFirst = gap - headerLines;
    const auto gapRecord = readCaptureLine(std::string_view(lines[gap]).substr(0, lines[gap].size() - 1));
    ASSERT_TRUE(gapRecord);
    EXPECT_EQ(gapRecord->direction, CaptureDirection::Event);
    EXPECT_EQ(gapRecord->source, "tessel-serverd");
    const auto missed = static_cast<std::size_t>(std::stoll(gapRecord->text));
    EXPECT_EQ(gapRecord->text, std::to_string(missed) + " records given up by the ring before this download came to them");
    EXPECT_EQ(readFirst + missed + (lines.size() - gap - 1), before.size());
    for (std::size_t i = 0; i < readFirst; ++i) EXPECT_EQ(lines[headerLines + i], captureLine(before[i]));
    for (std::size_t i = gap + 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], captureLine(before[readFirst + missed + (i - gap - 1)])) << i;
    }
}

}  // namespace
}  // namespace tessel
