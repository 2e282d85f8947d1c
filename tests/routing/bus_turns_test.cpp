// Fair turns at the bus: the head goes round the senders, each sender's runs keep their order,
// and the front end's own frames take turns as one more sender.
#include <gtest/gtest.h>

#include "routing/bus_turns.h"

namespace tessel {
namespace {

ReceivedFrame run(const std::string& sender, int n) {
    ReceivedFrame r;
    r.text = sender;
    // The front end's own frames are named, a client's numbered.
    r.sender = sender.find_first_not_of("0123456789") == std::string::npos ? std::stoll(sender) : kFrontEndSender;
    r.bytes = {static_cast<std::uint8_t>(n)};
    r.length = 1;
    r.wellFormed = 1;
    return r;
}

// Takes the queue's runs in the order the bus would get them, as "sender:n".
std::vector<std::string> written(FrameQueue& q, BusTurns& turns, std::size_t steps) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < steps && !q.empty(); ++i) {
        bringTurnForward(q, turns);
        out.push_back(q.front().text + ":" + std::to_string(q.front().bytes[0]));
        q.pop_front();
    }
    return out;
}

TEST(BusTurns, GoRoundTheSendersEachInItsOwnOrder) {
    FrameQueue q;
    for (int i = 1; i <= 5; ++i) q.push_back(run("7", i));  // a burst from client 7
    q.push_back(run("9", 1));
    q.push_back(run("tessel-serverd", 1));
    q.push_back(run("9", 2));
    q.push_back(run("12", 1));
    q.push_back(run("tessel-serverd", 2));
    BusTurns turns;
    EXPECT_EQ(written(q, turns, 100),
              (std::vector<std::string>{"tessel-serverd:1", "7:1", "9:1", "12:1", "tessel-serverd:2", "7:2", "9:2",
                                        "7:3", "7:4", "7:5"}));
}

TEST(BusTurns, ALateSenderWaitsOneRoundAtMost) {
    FrameQueue q;
    for (int i = 1; i <= 254; ++i) q.push_back(run("3", i));
    BusTurns turns;
    EXPECT_EQ(written(q, turns, 2), (std::vector<std::string>{"3:1", "3:2"}));
    q.push_back(run("4", 1));  // a command while the scan goes on
    EXPECT_EQ(written(q, turns, 2), (std::vector<std::string>{"4:1", "3:3"}));
    q.push_back(run("2", 1));  // a lower id: its turn comes as the round begins again
    EXPECT_EQ(written(q, turns, 3), (std::vector<std::string>{"2:1", "3:4", "3:5"}));
    EXPECT_EQ(q.size(), 249u);
}

TEST(BusTurns, OneSenderAloneKeepsItsOrder) {
    FrameQueue q;
    for (int i = 1; i <= 4; ++i) q.push_back(run("5", i));
    BusTurns turns;
    EXPECT_EQ(written(q, turns, 10), (std::vector<std::string>{"5:1", "5:2", "5:3", "5:4"}));
    bringTurnForward(q, turns);  // an empty queue is left alone
    EXPECT_TRUE(q.empty());
}

}  // namespace
}  // namespace tessel
