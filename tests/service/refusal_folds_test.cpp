// Refusals from one address folded into a line a minute; the first always at once.
#include <gtest/gtest.h>

#include "service/refusal_folds.h"

namespace tessel {
namespace {

TEST(RefusalFolds, AClientRetryingEveryFiveSecondsWritesOneLineAMinute) {
    RefusalFolds folds;
    int written = 0;
    std::vector<std::string> folded;
    for (std::int64_t t = 0; t < 3'600'000; t += 5000) {
        for (const auto& line : folds.due(t)) folded.push_back(line);
        if (folds.take("10.0.0.7", "client 10.0.0.7:" + std::to_string(40000 + t / 5000) + " refused: wrong key", t)) {
            ++written;
        }
    }
    EXPECT_EQ(written, 1);
    ASSERT_EQ(folded.size(), 59u);
    EXPECT_EQ(folded[0], "refused 11 times in the last minute: client 10.0.0.7:40011 refused: wrong key");
    EXPECT_EQ(folded[1], "refused 12 times in the last minute: client 10.0.0.7:40023 refused: wrong key");
}

TEST(RefusalFolds, AddressesFoldApartAndAQuietMinuteEndsTheFold) {
    RefusalFolds folds;
    EXPECT_TRUE(folds.take("10.0.0.7", "a", 0));
    EXPECT_TRUE(folds.take("10.0.0.8", "b", 1000));
    EXPECT_FALSE(folds.take("10.0.0.7", "a2", 2000));
    EXPECT_EQ(folds.nextDue(), 60'000);
    EXPECT_TRUE(folds.due(59'999).empty());
    EXPECT_EQ(folds.due(60'000), std::vector<std::string>{"refused 1 time in the last minute: a2"});
    EXPECT_TRUE(folds.due(61'000).empty());  // 10.0.0.8's quiet minute: forgotten
    EXPECT_TRUE(folds.take("10.0.0.8", "b2", 62'000));
    EXPECT_TRUE(folds.due(120'000).empty());  // 10.0.0.7 went quiet too
    EXPECT_TRUE(folds.take("10.0.0.7", "a3", 121'000));
}

TEST(RefusalFolds, ACrowdOfAddressesStaysBounded) {
    RefusalFolds folds;
    for (std::size_t i = 0; i < kRefusalFoldAddresses + 10; ++i) {
        EXPECT_TRUE(folds.take("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), "x", 0));
    }
    // Past the bound, each is written as it comes.
    EXPECT_TRUE(folds.take("10.0.4.9", "x", 1));
    EXPECT_TRUE(folds.take("10.0.4.9", "x", 2));
}

TEST(RefusalFolds, ThePeersAddressWithoutItsPort) {
    EXPECT_EQ(addressOfPeer("10.0.0.7:4000"), "10.0.0.7");
    EXPECT_EQ(addressOfPeer("[fe80::1]:4000"), "[fe80::1]");
    EXPECT_EQ(addressOfPeer("nothing"), "nothing");
}

}  // namespace
}  // namespace tessel
