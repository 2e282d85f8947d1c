// --announce: the answer to the clients' LAN discovery. A client broadcasts the 25 bytes
// "Velbus Navigation Request" to UDP port 32767; the service answers the sender with one JSON
// object naming this host, the model, the version and the listeners that serve the address the
// request came in on (their TCP port and whether they need the key; never the key). Anything
// else that comes is passed over without a word, and at most 10 answers go out in any second,
// at most 2 of them to one sender, so one sender's flood leaves the others their answers.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/unique_fd.h"

namespace tessel {

constexpr std::uint16_t kAnnouncePort = 32767;
constexpr std::string_view kNavigationRequest = "Velbus Navigation Request";
constexpr int kAnswersPerSecond = 10;
// A client asks once and waits for the answer; a second within the second is a retry.
constexpr int kAnswersPerSource = 2;
// Senders remembered within a second; past this many, a new one waits for the next second.
constexpr std::size_t kAnswerSources = 256;
// Datagrams taken per wake: a flood is read off in turns with the bus, never all at once.
constexpr int kDatagramsPerWake = 32;

struct AnnouncedListener {
    std::string address;  // as it listens: "0.0.0.0" (or empty, or "::") for every address
    std::uint16_t port = 0;
    bool key = false;
    bool tls = false;
};

struct AnnounceIdentity {
    std::string hostname;
    std::string version;
    std::vector<AnnouncedListener> listeners;
};

// The answer to a request that came in on `local` (an IPv4 address), or nothing when no
// listener serves that address.
std::optional<std::string> navigationAnswer(const AnnounceIdentity& identity, const std::string& local);

// Which answers may go: the times of the last answers, overall and per sender, so the limit
// holds in any second, not only within fixed windows.
class AnswerBudget {
public:
    // True, and counted, when an answer to `source` may go at `nowMillis`.
    bool take(std::uint32_t source, std::int64_t nowMillis);

private:
    template <std::size_t N>
    struct Recent {
        std::array<std::int64_t, N> times{};  // a ring of the last N answers' times
        std::size_t oldest = 0;
        bool full = false;
        bool allows(std::int64_t now) const { return !full || now - times[oldest] >= 1000; }
        std::int64_t newest() const { return times[(oldest + N - 1) % N]; }
        void add(std::int64_t now) {
            times[oldest] = now;
            oldest = (oldest + 1) % N;
            full = full || oldest == 0;
        }
    };
    Recent<kAnswersPerSecond> all_;
    std::unordered_map<std::uint32_t, Recent<kAnswersPerSource>> bySource_;
};

class LanAnnouncer {
public:
    explicit LanAnnouncer(AnnounceIdentity identity) : identity_(std::move(identity)) {}
    // Listens on every IPv4 address at `port`; false, with `error`, when it cannot.
    bool start(std::uint16_t port, std::string& error);
    int descriptor() const { return fd_.get(); }
    // The port it listens on (the one asked for, or the system's choice for 0).
    std::uint16_t port() const;
    // Takes what came and answers the requests among it, as the rate allows.
    void serve(std::int64_t nowMillis);
    std::int64_t answered() const { return answered_; }
    std::int64_t ignored() const { return ignored_; }

private:
    AnnounceIdentity identity_;
    UniqueFd fd_;
    AnswerBudget budget_;
    std::int64_t answered_ = 0, ignored_ = 0;
};

}  // namespace tessel
