// The web server inside one loop, with real sockets on loopback and a clock moved by hand: the
// key, the request limits, the stream cap, and a page that stops reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>

#include "support/fakes.h"
#include "support/loopback.h"
#include "capture/capture_ring.h"
#include "modules/project_file.h"
#include "tools/sim_replies.h"
#include "web/web_server.h"

namespace tessel {
namespace {

class WebServerTest : public ::testing::Test {
protected:
    void start(const std::string& key = {}, WebSettings settings = {}) {
        settings.key = key;
        std::string error;
        ASSERT_TRUE(server.start(settings, error)) << error;
    }

    // Runs the server until `done` holds, a bounded number of rounds.
    bool serveUntil(const std::function<bool()>& done, int rounds = 400) {
        for (int i = 0; i < rounds; ++i) {
            server.run();
            if (done()) return true;
            pollfd p[] = {{server.descriptor(), POLLIN, 0}, {server.listenerDescriptor(), POLLIN, 0}};
            ::poll(p, 2, 5);
        }
        return false;
    }

    // From 127.0.0.1, or from `source` (127.0.0.2 stands in for another host).
    UniqueFd request(const std::string& head, int receiveBuffer = 0, const char* source = nullptr) {
        UniqueFd c(::socket(AF_INET, SOCK_STREAM, 0));
        if (receiveBuffer > 0) ::setsockopt(c.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (source != nullptr) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &from.sin_addr);
            EXPECT_EQ(::bind(c.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server.port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(c.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        test::sendAll(c, Bytes(head.begin(), head.end()));
        return c;
    }

    // What has come on `c` once it holds `want` (or the rounds ran out).
    std::string answer(const UniqueFd& c, const std::string& want = "\r\n\r\n") {
        std::string got;
        serveUntil([&] {
            char buf[4096];
            ssize_t n;
            while ((n = ::recv(c.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<std::size_t>(n));
            return got.find(want) != std::string::npos;
        });
        return got;
    }

    // The whole answer on `c`, its head already in `raw`, without the chunk framing.
    std::string chunkedBody(const UniqueFd& c, std::string raw) {
        serveUntil([&] {
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(c.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) raw.append(buf, static_cast<std::size_t>(n));
            return raw.find("\r\n0\r\n\r\n") != std::string::npos;
        }, 4000);
        std::string body;
        for (std::size_t at = raw.find("\r\n\r\n") + 4;;) {
            const std::size_t end = raw.find("\r\n", at);
            if (end == std::string::npos) {
                ADD_FAILURE() << "a chunk cut short";
                return body;
            }
            const std::size_t size = std::stoul(raw.substr(at, end - at), nullptr, 16);
            if (size == 0) return body;
            body += raw.substr(end + 2, size);
            at = end + 2 + size + 2;
        }
    }

    bool closedByServer(const UniqueFd& c) {
        return serveUntil([&] {
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(c.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            }
            return n == 0 || (n < 0 && errno != EAGAIN);
        }, 2000);
    }

    test::FakeClock clock;
    WebMonitor monitor{"run"};
    WebServer server{monitor, clock, {[](const WebServer&) { return std::string("tessel_uptime_seconds 1\n"); },
                                      [this] { return problem; },
                                      [this](const std::string& address, const std::string& reason) {
                                          loginFailures.push_back(address + " " + reason);
                                      },
                                      [] { return std::string("{\"now\":1,\"silentAfter\":86400,\"modules\":[]}\n"); },
                                      [this](std::optional<std::int64_t> minutes) {
                                          captureMinutes.push_back(minutes.value_or(-1));
                                          return downloadOf(std::make_shared<CaptureText>(
                                                                ring, CaptureHeader{1, "h", "/dev/pts/1", "3.08"}, 0),
                                                            "tessel-capture-20261209-210405.txt");
                                      },
                                      [this] {
                                          return downloadOf(std::make_shared<ProjectFileText>(house),
                                                            "tessel-house-20261210-for-home-assistant.vlp");
                                      }}};
    ModuleTable house;
    CaptureRing ring{kMinimumCaptureMemory};
    std::vector<std::int64_t> captureMinutes;
    std::vector<std::string> loginFailures;
    std::string problem;
};

std::string base64(const std::string& in) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        const std::uint32_t n = (static_cast<std::uint8_t>(in[i]) << 16) |
                                (i + 1 < in.size() ? static_cast<std::uint8_t>(in[i + 1]) << 8 : 0) |
                                (i + 2 < in.size() ? static_cast<std::uint8_t>(in[i + 2]) : 0);
        out += kDigits[(n >> 18) & 63];
        out += kDigits[(n >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kDigits[n & 63] : '=';
    }
    return out;
}

MonitorLine longLine(const std::string& source) {
    MonitorLine line;
    line.cells = {"07:08:09", std::string(4000, 'A'), "2000", "00/00", source};
    return line;
}

std::string get(const std::string& path, const std::string& extra = {}) {
    return "GET " + path + " HTTP/1.1\r\nHost: bridge\r\n" + extra + "\r\n";
}

TEST_F(WebServerTest, TheKeyIsThePasswordForEverythingButHealth) {
    ASSERT_NO_FATAL_FAILURE(start("s3cret:key"));
    const struct {
        std::string path, authorization, status;
    } table[] = {
        {"/metrics", "", "HTTP/1.1 401 "},
        {"/", "", "HTTP/1.1 401 "},
        {"/events", "", "HTTP/1.1 401 "},
        {"/modules.json", "", "HTTP/1.1 401 "},
        {"/capture", "", "HTTP/1.1 401 "},
        {"/house.vlp", "", "HTTP/1.1 401 "},
        {"/house.vlp", "Authorization: Basic " + base64("anyone:s3cret:key") + "\r\n", "HTTP/1.1 200 "},
        {"/modules.json", "Authorization: Basic " + base64("anyone:s3cret:key") + "\r\n", "HTTP/1.1 200 "},
        {"/metrics", "Authorization: Basic " + base64("anyone:s3cret:key") + "\r\n", "HTTP/1.1 200 "},
        {"/metrics", "Authorization: Basic " + base64(":s3cret:key") + "\r\n", "HTTP/1.1 200 "},
        {"/metrics", "Authorization: Basic " + base64("anyone:s3cret:ke") + "\r\n", "HTTP/1.1 401 "},
        {"/metrics", "Authorization: Basic " + base64("anyone:s3cret:keyy") + "\r\n", "HTTP/1.1 401 "},
        {"/metrics", "Authorization: Basic !!!\r\n", "HTTP/1.1 401 "},
        {"/healthz", "", "HTTP/1.1 200 "},
        {"/livez", "", "HTTP/1.1 200 "},
    };
    for (const auto& row : table) {
        const std::string got = answer(request(get(row.path, row.authorization)));
        EXPECT_EQ(got.rfind(row.status, 0), 0u) << row.path << " " << row.authorization << "\n" << got;
        if (row.status == "HTTP/1.1 401 ") {
            EXPECT_NE(got.find("WWW-Authenticate: Basic realm=\"tessel-server\""), std::string::npos) << got;
        }
    }
    EXPECT_EQ(server.refusals().at(401), 9);
    // Counted by reason and told to the service by address only.
    EXPECT_EQ(server.failedLogins().at("no_key"), 7);
    EXPECT_EQ(server.failedLogins().at("wrong_key"), 2);
    ASSERT_EQ(loginFailures.size(), 9u);
    EXPECT_EQ(loginFailures[0], "127.0.0.1 no_key");
    EXPECT_EQ(loginFailures[7], "127.0.0.1 wrong_key");
}

// Health follows the device; liveness does not, so that a watchdog never restarts the service
// for an unplugged interface it will find again by itself.
TEST_F(WebServerTest, HealthFollowsTheDeviceAndLivenessTheLoop) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::string got = answer(request(get("/healthz")), "ok\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 200 ", 0), 0u) << got;
    problem = "Velbus serial /dev/ttyACM0 lost";
    got = answer(request(get("/healthz")), "lost\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 503 ", 0), 0u) << got;
    EXPECT_NE(got.find("\r\n\r\nVelbus serial /dev/ttyACM0 lost\n"), std::string::npos) << got;
    got = answer(request(get("/livez")), "alive\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 200 ", 0), 0u) << got;
    EXPECT_NE(got.find("\r\n\r\nalive\n"), std::string::npos) << got;
}

TEST_F(WebServerTest, AHeadNotCompleteWithinTenSecondsGets408) {
    ASSERT_NO_FATAL_FAILURE(start());
    UniqueFd slow = request("GET / HTTP/1.1\r\nHost: bri");
    serveUntil([] { return false; }, 5);
    clock.advance(kRequestHeadMillis - 1);
    EXPECT_EQ(answer(slow, "HTTP"), "");  // not yet
    clock.advance(1);
    const std::string got = answer(slow, "\n\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << got;
    EXPECT_TRUE(closedByServer(slow));
    EXPECT_EQ(server.refusals().at(408), 1);
    // The rule's deadline is part of the wait while a head is under way (once the first bytes
    // were seen), and only then.
    UniqueFd other = request("GET / HTT");
    serveUntil([] { return false; }, 5);
    EXPECT_EQ(test::dueIn(server.deadline(), clock.millis), kFirstByteMillis);
    clock.advance(kFirstByteMillis);
    serveUntil([] { return false; }, 5);
    EXPECT_EQ(test::dueIn(server.deadline(), clock.millis), kRequestHeadMillis - kFirstByteMillis);
}

TEST_F(WebServerTest, AtMost32StreamsAndThe33rdIsRefused) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<UniqueFd> pages;
    // Four pages from each of eight hosts: each host's own limit.
    const char* hosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",
                           "127.0.0.6", "127.0.0.7", "127.0.0.8", "127.0.0.9"};
    for (int i = 0; i < kMaxEventStreams; ++i) {
        pages.push_back(request(get("/events"), 0, hosts[i / kEventStreamsPerAddress]));
        const std::string got = answer(pages.back(), "event: snapshot");
        ASSERT_EQ(got.rfind("HTTP/1.1 200 ", 0), 0u) << i << got;
        EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos);
    }
    UniqueFd extra = request(get("/events"));
    const std::string refused = answer(extra, "reload\n");
    EXPECT_EQ(refused.rfind("HTTP/1.1 503 ", 0), 0u) << refused;
    EXPECT_TRUE(closedByServer(extra));
    // A page that goes makes room for the next. A sleeping stream is not watched: it is found
    // gone when a batch to it fails, which the statistics' batch each second brings about.
    pages.pop_back();
    ASSERT_TRUE(serveUntil([&] {
        monitor.monitorList().insertTop(longLine("wake"));
        clock.advance(kBatchIntervalMillis);
        return server.streamCount() == kMaxEventStreams - 1;
    }));
    EXPECT_EQ(answer(request(get("/events")), "event: snapshot").rfind("HTTP/1.1 200 ", 0), 0u);
}

TEST_F(WebServerTest, BatchesGoOutAtMostTenTimesASecondWithKeepAlivesBetween) {
    ASSERT_NO_FATAL_FAILURE(start());
    UniqueFd page = request(get("/events"));
    ASSERT_NE(answer(page, "event: snapshot").find("\"reset\":true"), std::string::npos);
    monitor.monitorList().insertTop(longLine("first"));
    EXPECT_NE(answer(page, "\"first\"").find("event: batch"), std::string::npos);
    monitor.monitorList().insertTop(longLine("second"));
    EXPECT_EQ(answer(page, "\"second\""), "");  // within 100 ms of the last batch: held
    EXPECT_EQ(test::dueIn(server.deadline(), clock.millis), kBatchIntervalMillis);
    clock.advance(kBatchIntervalMillis);
    EXPECT_NE(answer(page, "\"second\"").find("id: run-2\n"), std::string::npos);
    clock.advance(kStreamKeepAliveMillis);
    EXPECT_NE(answer(page, ": keep-alive\n\n"), "");
}

TEST_F(WebServerTest, ALargeSnapshotIsOwedWholeAndDoesNotCountAsBacklog) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (int i = 0; i < kMonitorLineLimit; ++i) monitor.monitorList().insertTop(longLine("held"));
    server.run();  // the batch that holds them
    UniqueFd page = request(get("/events"), 4096);
    // Far more than the backlog bound waits in the snapshot; batches come meanwhile.
    for (int i = 0; i < 20; ++i) {
        monitor.monitorList().insertTop(longLine("later " + std::to_string(i)));
        clock.advance(kBatchIntervalMillis);
        serveUntil([] { return false; }, 2);
    }
    EXPECT_EQ(server.droppedStreams(), 0);
    const std::string got = answer(page, "\"later 19\"");
    EXPECT_GT(got.size(), 2'000'000u);
    EXPECT_NE(got.find("\"later 19\""), std::string::npos);
}

TEST_F(WebServerTest, APageThatStopsReadingIsDroppedAndTheOthersFollowOn) {
    ASSERT_NO_FATAL_FAILURE(start());
    UniqueFd stuck = request(get("/events"), 4096);
    UniqueFd reading = request(get("/events"));
    ASSERT_NE(answer(reading, "event: snapshot"), "");
    int sent = 0;
    std::string got;
    const bool dropped = serveUntil([&] {
        monitor.monitorList().insertTop(longLine("line " + std::to_string(++sent)));
        clock.advance(kBatchIntervalMillis);
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(reading.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<std::size_t>(n));
        if (got.size() > 1'000'000) got.erase(0, got.size() - 100'000);
        return server.droppedStreams() > 0;
    }, 5000);
    ASSERT_TRUE(dropped) << sent << " batches";
    EXPECT_EQ(server.droppedStreams(), 1);
    EXPECT_TRUE(closedByServer(stuck));
    EXPECT_EQ(server.streamCount(), 1u);
    monitor.monitorList().insertTop(longLine("after"));
    clock.advance(kBatchIntervalMillis);
    EXPECT_NE(answer(reading, "\"after\""), "");
}

// Behind a proxy: its address is the only peer, any other connection is closed unserved (the
// liveness answer's too), and a trusted proxy is asked for no key; an untrusted one is.
TEST_F(WebServerTest, AProxyInFrontIsTheOnlyPeerAndTrustedNeedsNoKey) {
    WebSettings behind;
    behind.peer = "127.0.0.2";
    behind.peerTrusted = true;
    ASSERT_NO_FATAL_FAILURE(start("s3cret:key", behind));
    const std::string page = answer(request(get("/modules.json"), 0, "127.0.0.2"));
    EXPECT_EQ(page.rfind("HTTP/1.1 200 ", 0), 0u) << page;
    UniqueFd other = request(get("/livez"));
    EXPECT_TRUE(closedByServer(other));
    EXPECT_EQ(server.refusedConnections().at("not_the_peer"), 1);
}

TEST_F(WebServerTest, AnUntrustedProxyIsAskedForTheKey) {
    WebSettings behind;
    behind.peer = "127.0.0.2";
    ASSERT_NO_FATAL_FAILURE(start("s3cret:key", behind));
    const std::string page = answer(request(get("/modules.json"), 0, "127.0.0.2"));
    EXPECT_EQ(page.rfind("HTTP/1.1 401 ", 0), 0u) << page;
}

// One host holding its share of the port leaves room for the others: its own connections past
// the share are closed at once, a fifth page of its is refused, and /healthz from elsewhere answers.
TEST_F(WebServerTest, OneHostCannotTakeThePortFromTheOthers) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<UniqueFd> held;
    for (int i = 0; i < kConnectionsPerAddress; ++i) held.push_back(request("", 0, "127.0.0.2"));
    serveUntil([&] { return false; }, 20);
    UniqueFd past = request("", 0, "127.0.0.2");
    EXPECT_TRUE(closedByServer(past));
    EXPECT_GE(server.refusedConnections().at("per_address"), 1);
    const std::string health = answer(request(get("/healthz"), 0, "127.0.0.3"), "ok\n");
    EXPECT_EQ(health.rfind("HTTP/1.1 200 ", 0), 0u) << health;
    held.clear();
    std::vector<UniqueFd> pages;
    for (int i = 0; i < kEventStreamsPerAddress; ++i) {
        pages.push_back(request(get("/events"), 0, "127.0.0.4"));
        ASSERT_EQ(answer(pages.back(), "event: snapshot").rfind("HTTP/1.1 200 ", 0), 0u);
    }
    const std::string fifth = answer(request(get("/events"), 0, "127.0.0.4"), "reload\n");
    EXPECT_EQ(fifth.rfind("HTTP/1.1 503 ", 0), 0u) << fifth;
    EXPECT_NE(fifth.find("from this address"), std::string::npos);
    EXPECT_EQ(answer(request(get("/events"), 0, "127.0.0.5"), "event: snapshot").rfind("HTTP/1.1 200 ", 0), 0u);
}

TEST_F(WebServerTest, RequestsOutOfBoundsGetAnAnswer) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::string query = "/metrics?a0=0";
    for (int i = 1; i < 500; ++i) query += "&a=" + std::to_string(i % 10);
    ASSERT_LT(query.size(), 8192u);
    const std::string got = answer(request(get(query)));
    EXPECT_EQ(got.rfind("HTTP/1.1 414 ", 0), 0u) << got.substr(0, 200);
    EXPECT_EQ(server.refusals().at(414), 1);
}

// Whether the kernel tells a socket's received bytes (TCP_INFO's count): qemu's user-mode
// emulator, which runs the armhf tests, fills only a word of the record.
bool kernelCountsReceivedBytes(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           length >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received;
}

// Nothing at all within 2 s: closed; a slow head keeps its 10 s.
TEST_F(WebServerTest, AConnectionOnWhichNothingComesIsClosedSoon) {
    ASSERT_NO_FATAL_FAILURE(start());
    if (!kernelCountsReceivedBytes(UniqueFd(::socket(AF_INET, SOCK_STREAM, 0)).get())) {
        GTEST_SKIP() << "this kernel (or emulator) gives no count of received bytes: every connection counts as busy";
    }
    UniqueFd silent = request("");
    UniqueFd slow = request("GET / HT");
    serveUntil([] { return false; }, 5);
    EXPECT_EQ(test::dueIn(server.deadline(), clock.millis), kFirstByteMillis);
    clock.advance(kFirstByteMillis);
    EXPECT_TRUE(closedByServer(silent));
    EXPECT_EQ(server.refusedConnections().at("idle"), 1);
    EXPECT_EQ(answer(slow, "HTTP"), "");
    clock.advance(kRequestHeadMillis - kFirstByteMillis);
    EXPECT_EQ(answer(slow, "\n\n").rfind("HTTP/1.1 408 ", 0), 0u);
}

// Out of descriptors, a new connection is refused at once and counted, the port is told once,
// nothing stays ready for the loop to spin on, and /healthz answers once descriptors are free.
TEST_F(WebServerTest, OutOfDescriptorsNewConnectionsAreRefusedWithoutASpin) {
    ASSERT_NO_FATAL_FAILURE(start());
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<UniqueFd> filler;
    // Clients' own sockets first, then the rest of the table taken.
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(request(get("/healthz")));
    rlimit low = limit;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (;;) {
        UniqueFd fd(::open("/dev/null", O_RDONLY));
        if (!fd.valid()) break;
        filler.push_back(std::move(fd));
    }
    for (int i = 0; i < 20; ++i) server.run();
    for (const UniqueFd& c : clients) EXPECT_TRUE(closedByServer(c));
    EXPECT_EQ(server.refusedConnections().at("descriptors"), 3);
    EXPECT_EQ(server.descriptorShortages(), 1);
    pollfd p{server.listenerDescriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the listener is still ready";
    filler.clear();
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const std::string health = answer(request(get("/healthz")), "ok\n");
    EXPECT_EQ(health.rfind("HTTP/1.1 200 ", 0), 0u) << health;
    EXPECT_EQ(server.descriptorShortages(), 1);
}

TEST_F(WebServerTest, TheCaptureComesWholeAsItIsMadeTwoAtATime) {
    ASSERT_NO_FATAL_FAILURE(start());
    // A full ring's text is many times the socket's buffers: it is made as the reader takes it.
    for (int i = 0; i < 4000; ++i) {
        ring.add(1796850245123456 + i, i, CaptureDirection::FromBus, kBusSource,
                 test::hexBytes("0F FB 40 07 E6 2B 20 27 20 2F 20 E8 04"));
    }
    std::string expected = captureHeaderText({1, "h", "/dev/pts/1", "3.08"});
    CaptureRing::Reader reader(ring);
    for (CaptureRecord r; reader.next(r);) expected += captureLine(r);
    ASSERT_GT(expected.size(), 300'000u);

    UniqueFd first = request(get("/capture?minutes=90"), 4096);
    UniqueFd second = request(get("/capture"), 4096);
    const std::string head = answer(first);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Disposition: attachment; filename=\"tessel-capture-20261209-210405.txt\"\r\n"),
              std::string::npos) << head;
    answer(second);
    // Two under way: a third waits for one of them.
    const std::string third = answer(request(get("/capture")));
    EXPECT_EQ(third.rfind("HTTP/1.1 503 ", 0), 0u) << third;
    EXPECT_EQ(captureMinutes, (std::vector<std::int64_t>{90, -1}));

    // Read the first whole, without chunk framing: the text is the ring's, byte for byte.
    EXPECT_EQ(chunkedBody(first, head), expected);
    first.reset();
    second.reset();
    const std::string again = answer(request(get("/capture?minutes=10080")), "\r\n\r\n");
    EXPECT_EQ(again.rfind("HTTP/1.1 200 ", 0), 0u) << again;
    for (const char* bad : {"/capture?minutes=0", "/capture?minutes=10081", "/capture?minutes=1e3", "/capture?minutes="}) {
        const std::string refused = answer(request(get(bad)));
        EXPECT_EQ(refused.rfind("HTTP/1.1 400 ", 0), 0u) << bad << "\n" << refused;
    }
}

// The project file for the home-automation server, as a download of the table as it is.
TEST_F(WebServerTest, TheProjectFileIsADownloadOfTheTable) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (unsigned a = 0x10; a < 0x10 + 200; ++a) {
        learnFromFrame(house, sim::moduleFrame(kLowPriority, static_cast<std::uint8_t>(a), test::hexBytes("FF 11 12 34 01 14 20")),
                       true, 1000);
    }
    const std::string expected = projectFile(house);
    UniqueFd c = request(get("/house.vlp"), 4096);
    const std::string head = answer(c);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: application/xml; charset=utf-8\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Disposition: attachment; filename=\"tessel-house-20261210-for-home-assistant.vlp\"\r\n"),
              std::string::npos) << head;
    const std::string body = chunkedBody(c, head);
    EXPECT_EQ(body, expected);
    EXPECT_GT(body.size(), 200u * 2 * 0x500);
}

}  // namespace
}  // namespace tessel
