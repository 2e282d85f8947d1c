// The answer to the clients' LAN discovery: what it says for the address a request came in on,
// and over loopback, that only the exact request is answered, at most ten times a second.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "service/lan_announce.h"

namespace tessel {
namespace {

const AnnounceIdentity kBridge{"kitchen \"pi\"", "3.08",
                               {{"0.0.0.0", 8080, false, false}, {"127.0.0.1", 8443, true, true}}};

TEST(LanAnnounce, TheAnswerNamesTheListenersServingTheAddress) {
    const struct {
        std::string local;
        std::optional<std::string> answer;
    } table[] = {
        {"127.0.0.1",
         "{\"message\":\"Velbus Navigation Guidance\",\"hostname\":\"kitchen \\\"pi\\\"\",\"model\":\"tessel-serverd\","
         "\"id\":\"" + std::string() + "ID\",\"velbus_port\":8080,\"velbus_auth\":false,\"version\":\"3.08\","
         "\"listeners\":[{\"port\":8080,\"auth\":false,\"tls\":false},{\"port\":8443,\"auth\":true,\"tls\":true}]}"},
        {"192.168.1.20",
         "{\"message\":\"Velbus Navigation Guidance\",\"hostname\":\"kitchen \\\"pi\\\"\",\"model\":\"tessel-serverd\","
         "\"id\":\"ID\",\"velbus_port\":8080,\"velbus_auth\":false,\"version\":\"3.08\","
         "\"listeners\":[{\"port\":8080,\"auth\":false,\"tls\":false}]}"},
    };
    for (const auto& row : table) {
        auto got = navigationAnswer(kBridge, row.local);
        ASSERT_TRUE(got.has_value()) << row.local;
        // The id is a hash of the host and the first port: eight hexadecimal digits, the same each time.
        const std::size_t at = got->find("\"id\":\"") + 6;
        const std::string id = got->substr(at, 8);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_EQ(*navigationAnswer(kBridge, row.local), *got);
        got->replace(at, 8, "ID");
        EXPECT_EQ(got, row.answer) << row.local;
    }
    const AnnounceIdentity local{"h", "3.08", {{"127.0.0.1", 8080, true, false}}};
    EXPECT_FALSE(navigationAnswer(local, "192.168.1.20").has_value());  // that listener is not there
    const std::string guarded = *navigationAnswer(local, "127.0.0.1");
    EXPECT_NE(guarded.find("\"velbus_port\":8080,\"velbus_auth\":true"), std::string::npos) << guarded;
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(announcer.start(0, error)) << error;
        client = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(client, 0);
    }
    void TearDown() override { ::close(client); }

    void send(const std::string& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(announcer.port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::sendto(client, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }
    // Serves what came (several wakes, as the loop would), then counts the answers.
    int answers(std::int64_t now) {
        for (int i = 0; i < 10; ++i) {
            pollfd p{announcer.descriptor(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) break;
            announcer.serve(now);
        }
        int n = 0;
        char buffer[2048];
        while (::recv(client, buffer, sizeof buffer, 0) > 0) {
            EXPECT_EQ(std::string(buffer, 10), "{\"message\"");
            ++n;
        }
        return n;
    }

    LanAnnouncer announcer{kBridge};
    int client = -1;
};

TEST_F(Discovery, OnlyTheExactRequestIsAnswered) {
    send("Velbus Navigation Request");
    EXPECT_EQ(answers(0), 1);
    for (const std::string& other : {std::string("Velbus Navigation Request\n"), std::string("Velbus Navigation Reques"),
                                    std::string("velbus navigation request"), std::string(1000, 'V'), std::string()}) {
        send(other);
    }
    EXPECT_EQ(answers(0), 0);
    EXPECT_EQ(announcer.ignored(), 5);
}

TEST_F(Discovery, OneSenderGetsItsShareASecond) {
    for (int i = 0; i < 40; ++i) send("Velbus Navigation Request");
    EXPECT_EQ(answers(5000), kAnswersPerSource);
    send("Velbus Navigation Request");
    EXPECT_EQ(answers(5999), 0);
    send("Velbus Navigation Request");
    EXPECT_EQ(answers(6000), 1);
    EXPECT_EQ(announcer.answered(), 3);
}

// At most ten answers in any second, not only within fixed windows; a flooding sender takes
// its share and leaves the others theirs.
TEST(AnswerBudget, TenInAnySecondAndAFloodLeavesOthersTheirShare) {
    const struct {
        const char* what;
        std::vector<std::pair<std::uint32_t, std::int64_t>> requests;  // sender, time
        int answered;
    } cases[] = {
        {"one sender's flood", std::vector<std::pair<std::uint32_t, std::int64_t>>(40, {1, 5000}), kAnswersPerSource},
        {"twenty senders at once", [] {
             std::vector<std::pair<std::uint32_t, std::int64_t>> r;
             for (std::uint32_t s = 1; s <= 20; ++s) r.push_back({s, 0});
             return r;
         }(), kAnswersPerSecond},
        // A fixed window would answer ten at 999 and ten more at 1000.
        {"across a window's edge", [] {
             std::vector<std::pair<std::uint32_t, std::int64_t>> r;
             for (std::uint32_t s = 1; s <= 10; ++s) r.push_back({s, 999});
             for (std::uint32_t s = 11; s <= 20; ++s) r.push_back({s, 1000});
             for (std::uint32_t s = 21; s <= 30; ++s) r.push_back({s, 1998});
             return r;
         }(), kAnswersPerSecond},
        {"a flood and eight others", [] {
             std::vector<std::pair<std::uint32_t, std::int64_t>> r;
             for (int i = 0; i < 100; ++i) r.push_back({1, 10});
             for (std::uint32_t s = 2; s <= 9; ++s) r.push_back({s, 20});
             return r;
         }(), kAnswersPerSource + 8},
        {"a new second", [] {
             std::vector<std::pair<std::uint32_t, std::int64_t>> r;
             for (std::uint32_t s = 1; s <= 20; ++s) r.push_back({s, 0});
             for (std::uint32_t s = 1; s <= 20; ++s) r.push_back({s, 1000});
             return r;
         }(), 2 * kAnswersPerSecond},
    };
    for (const auto& c : cases) {
        AnswerBudget budget;
        int answered = 0;
        for (const auto& [sender, at] : c.requests) answered += budget.take(sender, at) ? 1 : 0;
        EXPECT_EQ(answered, c.answered) << c.what;
    }
}

// However many senders come, the table of them stays bounded, and the next second is served.
TEST(AnswerBudget, ACrowdOfSendersKeepsTheTableBounded) {
    AnswerBudget budget;
    int answered = 0;
    for (std::uint32_t s = 1; s <= 100'000; ++s) answered += budget.take(s, static_cast<std::int64_t>(s / 100)) ? 1 : 0;
    EXPECT_LE(answered, 10 * (100'000 / 100 / 1000 + 1));
    EXPECT_TRUE(budget.take(7, 10'000'000));
}

}  // namespace
}  // namespace tessel
