// The web monitor's HTTP side: the page, its live stream (Server-Sent Events), /metrics and
// /healthz, through libmicrohttpd in its external epoll mode. The library gets no thread of its
// own: it hands the service one descriptor for its wait and is run from the service's loop when
// that is ready or its time is due. A page that falls behind is dropped, never waited for.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "web/web_monitor.h"

namespace tessel {

constexpr int kMaxEventStreams = 32;
constexpr std::size_t kStreamBacklogLimit = 256 * 1024;
constexpr std::size_t kMaxRequestHeadBytes = 8 * 1024;
constexpr std::int64_t kRequestHeadMillis = 10000;
constexpr std::int64_t kBatchIntervalMillis = 100;
constexpr std::int64_t kStreamKeepAliveMillis = 15000;

struct WebSettings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: the system chooses
    std::string certificatePem, keyPem;  // both set: HTTPS
    std::string key;  // set: every request but /healthz needs it as the Basic password
};

// What the server asks of the service at each request.
struct WebContent {
    std::function<std::string()> metrics;
    // Why the service is not healthy; empty while it is.
    std::function<std::string()> healthProblem;
};

class WebServer {
public:
    WebServer(WebMonitor& monitor, Clock& clock, WebContent content);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // False, with `error` saying why, when it cannot listen.
    bool start(const WebSettings& settings, std::string& error);
    // The descriptor to wait on for reading.
    int descriptor() const;
    std::uint16_t port() const;
    // How long the service may wait before run() is due even with nothing ready; -1: no limit.
    std::int64_t waitMillis();
    // Sends the due batch and keep-alive comments, drops pages that fell behind and requests
    // whose head is overdue, then serves whatever is ready. Never blocks.
    void run();

    std::size_t streamCount() const;
    std::int64_t droppedStreams() const;
    const std::map<int, std::int64_t>& refusals() const;
    // Connections closed before a request head came whole.
    std::int64_t connectionsWithoutRequest() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tessel
