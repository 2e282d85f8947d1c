// The web monitor's HTTP side: the page, its live stream (Server-Sent Events), /metrics,
// /capture and /healthz, through libmicrohttpd in its external epoll mode. Its parts: web_server.cpp (the
// library and its connections), web_routes.cpp (the answers), web_streams.cpp (the streams). The library gets no thread of its
// own: it hands the service one descriptor for its wait and is run from the service's loop when
// that is ready or its time is due. A page that falls behind is dropped, never waited for.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/deadline.h"
#include "web/web_monitor.h"

namespace tessel {

constexpr int kMaxEventStreams = 32;
constexpr std::size_t kStreamBacklogLimit = 256 * 1024;
constexpr std::size_t kMaxRequestHeadBytes = 8 * 1024;
constexpr std::int64_t kRequestHeadMillis = 10000;
// A connection on which nothing at all came within this long is closed.
constexpr std::int64_t kFirstByteMillis = 2000;
constexpr std::int64_t kBatchIntervalMillis = 100;
constexpr std::int64_t kStreamKeepAliveMillis = 15000;
// What one source address may hold, so that it cannot take the port from the others.
constexpr int kConnectionsPerAddress = 16;
constexpr int kEventStreamsPerAddress = 4;
// More is no request a page or a scraper makes: refused with 414.
constexpr int kMaxQueryArguments = 32;
// TLS 1.3, and TLS 1.2 with forward secrecy and authenticated encryption only, in the
// server's order, no renegotiation: the same set the TCP listeners offer.
constexpr const char* kWebTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA:%SERVER_PRECEDENCE:%SAFE_RENEGOTIATION";

struct WebSettings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: the system chooses
    std::string certificatePem, keyPem;  // both set: HTTPS
    std::string key;  // set: every request but /healthz needs it as the Basic password
    // Set: connections from this address only (a proxy in front, such as a home-automation
    // server's ingress), any other closed at once; `peerTrusted`: it is asked for no key, since
    // it let its users in itself.
    std::string peer;
    bool peerTrusted = false;
};

// A file as the service hands it over for a download: its text, made as the download goes (up
// to `max` bytes at a time; 0 at the end), and its name.
struct Download {
    std::function<std::size_t(char* out, std::size_t max)> read;
    std::string fileName;
};
// A download of a text that is made as it is read (a capture's, a project file's).
template <class Text>
Download downloadOf(std::shared_ptr<Text> text, std::string fileName) {
    return {[text = std::move(text)](char* out, std::size_t max) { return text->read(out, max); }, std::move(fileName)};
}
// Downloads of each kind under way at once: each reads the capture, or the module table, on
// the loop as the browser takes it.
constexpr int kMaxCaptureDownloads = 2;
constexpr int kMaxProjectDownloads = 4;
constexpr std::int64_t kMaxCaptureMinutes = 7 * 24 * 60;

// What the server asks of the service at each request.
class WebServer;

struct WebContent {
    // /metrics, with what the web server itself counts.
    std::function<std::string(const WebServer&)> metrics;
    // Why the service is not healthy; empty while it is.
    std::function<std::string()> healthProblem;
    // A request without the key, from `address` ("no_key" or "wrong_key"); may be unset.
    std::function<void(const std::string& address, const std::string& reason)> loginFailed;
    // /modules.json; unset: no such page.
    std::function<std::string()> modules;
    // /capture, of the last `minutes` or all it holds; unset: no such page.
    std::function<Download(std::optional<std::int64_t> minutes)> capture;
    // /house.vlp, the project file for the home-automation server; unset: no such page.
    std::function<Download()> project;
};

class WebServer {
public:
    WebServer(WebMonitor& monitor, Clock& clock, WebContent content);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // False, with `error` saying why, when it cannot listen.
    bool start(const WebSettings& settings, std::string& error);
    // The descriptors to wait on for reading: the library's, and the listening socket.
    int descriptor() const;
    int listenerDescriptor() const;
    std::uint16_t port() const;
    // When run() is due even with nothing ready; none: no limit.
    Deadline deadline();
    // Sends the due batch and keep-alive comments, drops pages that fell behind and requests
    // whose head is overdue, then serves whatever is ready. Never blocks.
    void run();
    // What the wait saw of descriptor() and listenerDescriptor(), for the next run.
    void sawReady(bool library, bool listener);

    std::size_t streamCount() const;
    std::int64_t droppedStreams() const;
    const std::map<int, std::int64_t>& refusals() const;
    // Connections closed before any request: "descriptors", "per_address", "connection_limit",
    // "idle" (nothing came within 2 s).
    const std::map<std::string, std::int64_t>& refusedConnections() const;
    // Requests without the right key, by reason.
    const std::map<std::string, std::int64_t>& failedLogins() const;
    // Times the port began to refuse connections for want of descriptors.
    std::int64_t descriptorShortages() const;
    // Connections closed before a request head came whole.
    std::int64_t connectionsWithoutRequest() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tessel
