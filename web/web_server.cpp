#include "web/web_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>

#include "net/key_gate.h"
#include "net/tcp_server.h"
#include "web/web_assets.h"

namespace tessel {

namespace {

// Room for the request head, the response head and a stream's next piece; heads past 8 KiB
// that still fit are refused by our own count, larger ones by the library.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// Event streams plus as many other requests at once.
constexpr unsigned kConnectionLimit = 2 * kMaxEventStreams;
// Idle keep-alive connections are closed by the head rule first; this only backs it up.
constexpr unsigned kIdleSeconds = 30;
constexpr std::size_t kStreamPieceBytes = 16 * 1024;

struct Peer {
    MHD_Connection* connection = nullptr;
    int fd = -1;
    std::int64_t headSince = 0;  // when the connection opened or its last request ended
    bool headDone = false;
    bool anyHead = false;  // a request head came whole at least once
    bool cutOff = false;
};

struct Stream {
    WebServer::State* owner = nullptr;
    MHD_Connection* connection = nullptr;
    // Events the library has not taken yet, shared by every stream they go to; the first is
    // taken from `taken` on.
    std::deque<std::shared_ptr<const std::string>> pending;
    std::size_t taken = 0;
    // Bytes of the batches after the snapshot not taken yet. The snapshot itself (500 long
    // lines can make it megabytes) is owed to the page whole and does not count: a page that
    // cannot take it before the next batch is not one that stopped reading.
    std::size_t backlog = 0;
    bool snapshotPending = true;  // the head of `pending` is the snapshot
    bool suspended = false;
    bool dropped = false;
};

}  // namespace

struct WebServer::State {
    State(WebMonitor& m, Clock& c, WebContent w) : monitor(m), clock(c), content(std::move(w)) {}

    WebMonitor& monitor;
    Clock& clock;
    WebContent content;
    WebSettings settings;
    bool tls = false;
    MHD_Daemon* daemon = nullptr;
    int epollFd = -1;
    std::uint16_t port = 0;
    std::list<Peer> peers;
    std::list<Stream> streams;
    std::int64_t lastBatchMillis = -kBatchIntervalMillis;
    std::int64_t lastKeepAliveMillis = 0;
    std::map<int, std::int64_t> refused;
    std::int64_t dropped = 0;
    std::int64_t withoutRequest = 0;
    // The snapshot of the last batch for pages that start afresh, shared by all that open
    // before the next batch.
    std::string freshSnapshotId;
    std::shared_ptr<const std::string> freshSnapshot;
};

namespace {

using State = WebServer::State;

int connectionFd(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info != nullptr ? info->connect_fd : -1;
}

Peer* peerOf(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Peer*>(info->socket_context) : nullptr;
}

void notifyConnection(void* cls, MHD_Connection* c, void** socketContext,
                      MHD_ConnectionNotificationCode code) {
    State& s = *static_cast<State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        s.peers.push_back({c, connectionFd(c), s.clock.elapsedMillis()});
        *socketContext = &s.peers.back();
    } else {
        auto* peer = static_cast<Peer*>(*socketContext);
        // Closed before any request came whole: not HTTP, a head too large for the library, or
        // a peer that left (those the head rule cut off are counted as 408 already).
        if (peer != nullptr && !peer->anyHead && !peer->cutOff) ++s.withoutRequest;
        s.peers.remove_if([peer](const Peer& p) { return &p == peer; });
        *socketContext = nullptr;
    }
}

void requestCompleted(void* cls, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
    State& s = *static_cast<State*>(cls);
    if (Peer* p = peerOf(c)) {
        // A kept-alive connection has the same time for its next head.
        p->headDone = false;
        p->headSince = s.clock.elapsedMillis();
    }
}

// Ends a connection the library holds: its socket is shut, so the library finds it closed at
// its next look and cleans up as for any peer that left.
void cutOff(MHD_Connection* c) {
    const int fd = connectionFd(c);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void resume(Stream& st) {
    if (!st.suspended) return;
    st.suspended = false;
    MHD_resume_connection(st.connection);
}

void dropStream(State& s, Stream& st) {
    st.dropped = true;
    st.pending.clear();
    st.taken = st.backlog = 0;
    ++s.dropped;
    // A waiting stream ends at its next read; one stuck on a full socket is cut off.
    if (st.suspended) {
        resume(st);
    } else {
        cutOff(st.connection);
    }
}

void deliver(State& s, std::shared_ptr<const std::string> event) {
    for (Stream& st : s.streams) {
        if (st.dropped) continue;
        // Judged on what it left unread before this event, so one large batch never drops a
        // page that keeps up.
        if (st.backlog > kStreamBacklogLimit) {
            dropStream(s, st);
            continue;
        }
        st.pending.push_back(event);
        st.backlog += event->size();
        resume(st);
    }
}

ssize_t readStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
    Stream& st = *static_cast<Stream*>(cls);
    if (st.dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (st.pending.empty()) {
        // Nothing to send: the connection sleeps until the next batch wakes it.
        st.suspended = true;
        MHD_suspend_connection(st.connection);
        return 0;
    }
    const std::string& head = *st.pending.front();
    const std::size_t n = std::min(head.size() - st.taken, max);
    std::memcpy(buffer, head.data() + st.taken, n);
    st.taken += n;
    if (!st.snapshotPending) st.backlog -= n;
    if (st.taken == head.size()) {
        st.pending.pop_front();
        st.taken = 0;
        st.snapshotPending = false;
    }
    return static_cast<ssize_t>(n);
}

void streamEnded(void* cls) {
    auto* ended = static_cast<Stream*>(cls);
    State& s = *ended->owner;
    s.streams.remove_if([ended](const Stream& st) { return &st == ended; });
}

void commonHeaders(MHD_Response* r, const char* contentType) {
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_add_response_header(r, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
}

MHD_Result queue(MHD_Connection* c, unsigned status, MHD_Response* r) {
    if (r == nullptr) return MHD_NO;
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Response* textResponse(const std::string& body, const char* contentType) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r != nullptr) commonHeaders(r, contentType);
    return r;
}

// A refusal: its status, a line that says why, and the connection closed.
MHD_Result refuse(State& s, MHD_Connection* c, unsigned status, const std::string& why) {
    ++s.refused[static_cast<int>(status)];
    MHD_Response* r = textResponse(why + "\n", "text/plain; charset=utf-8");
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    if (status == MHD_HTTP_UNAUTHORIZED) {
        const MHD_Result queued = MHD_queue_basic_auth_fail_response(c, "tessel-server", r);
        MHD_destroy_response(r);
        return queued;
    }
    return queue(c, status, r);
}

MHD_Result addLength(void* cls, MHD_ValueKind, const char* key, const char* value) {
    *static_cast<std::size_t*>(cls) += std::strlen(key) + (value != nullptr ? std::strlen(value) : 0) + 4;
    return MHD_YES;
}

std::size_t headBytes(MHD_Connection* c, const char* url, const char* method, const char* version) {
    std::size_t total = std::strlen(url) + std::strlen(method) + std::strlen(version) + 4;
    MHD_get_connection_values(c, MHD_HEADER_KIND, &addLength, &total);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &addLength, &total);
    return total;
}

bool keyGiven(const State& s, MHD_Connection* c) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(c, &password);
    const bool given = password != nullptr && sameBytes(password, s.settings.key);
    if (password != nullptr) {
        std::fill_n(password, std::strlen(password), '\0');
        MHD_free(password);
    }
    if (user != nullptr) MHD_free(user);
    return given;
}

std::shared_ptr<const std::string> snapshotFor(State& s, const std::string& lastEventId) {
    if (s.monitor.resumes(lastEventId)) return std::make_shared<const std::string>(s.monitor.snapshotEvent(lastEventId));
    if (s.freshSnapshot == nullptr || s.freshSnapshotId != s.monitor.lastEventId()) {
        s.freshSnapshotId = s.monitor.lastEventId();
        s.freshSnapshot = std::make_shared<const std::string>(s.monitor.snapshotEvent({}));
    }
    return s.freshSnapshot;
}

MHD_Result openStream(State& s, MHD_Connection* c, bool head) {
    if (s.streams.size() >= static_cast<std::size_t>(kMaxEventStreams)) {
        return refuse(s, c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many live pages open; close one and reload");
    }
    if (head) return queue(c, MHD_HTTP_OK, textResponse("", "text/event-stream"));
    const char* last = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Last-Event-ID");
    Stream& st = s.streams.emplace_back();
    st.owner = &s;
    st.connection = c;
    st.pending.push_back(snapshotFor(s, last != nullptr ? last : ""));
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamPieceBytes, &readStream,
                                                        &st, &streamEnded);
    if (r == nullptr) {
        s.streams.pop_back();
        return MHD_NO;
    }
    commonHeaders(r, "text/event-stream; charset=utf-8");
    MHD_add_response_header(r, "X-Accel-Buffering", "no");
    // A quiet bus is no reason to close a page's stream; the keep-alive comments keep it warm.
    MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    return queue(c, MHD_HTTP_OK, r);
}

MHD_Result respond(State& s, MHD_Connection* c, const std::string& url, const char* method,
                   const char* version) {
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
        return refuse(s, c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served here");
    }
    if (headBytes(c, url.c_str(), method, version) > kMaxRequestHeadBytes) {
        return refuse(s, c, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "the request head is over 8 KiB");
    }
    if (url == "/healthz") {
        const std::string problem = s.content.healthProblem();
        return queue(c, problem.empty() ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE,
                     textResponse((problem.empty() ? "ok" : problem) + "\n", "text/plain; charset=utf-8"));
    }
    if (!s.settings.key.empty() && !keyGiven(s, c)) {
        return refuse(s, c, MHD_HTTP_UNAUTHORIZED, "this bridge's key is needed, as the password");
    }
    if (url == "/events") return openStream(s, c, head);
    if (url == "/metrics") {
        return queue(c, MHD_HTTP_OK, textResponse(s.content.metrics(), "text/plain; version=0.0.4; charset=utf-8"));
    }
    if (const WebAsset* asset = findWebAsset(url)) {
        MHD_Response* r = MHD_create_response_from_buffer(asset->size, const_cast<std::uint8_t*>(asset->data),
                                                          MHD_RESPMEM_PERSISTENT);
        if (r != nullptr) commonHeaders(r, asset->contentType);
        return queue(c, MHD_HTTP_OK, r);
    }
    return refuse(s, c, MHD_HTTP_NOT_FOUND, "no such page");
}

MHD_Result handleRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                         const char* version, const char*, std::size_t* uploadSize, void** requestContext) {
    State& s = *static_cast<State*>(cls);
    if (*requestContext != nullptr) {
        *uploadSize = 0;  // a body nobody asked for is let go
        return MHD_YES;
    }
    *requestContext = &s;
    if (Peer* p = peerOf(c)) p->headDone = p->anyHead = true;
    return respond(s, c, url != nullptr ? url : "", method, version);
}

bool isIpv6(int fd) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 && addr.ss_family == AF_INET6;
}

std::uint16_t boundPort(int fd) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
}

}  // namespace

WebServer::WebServer(WebMonitor& monitor, Clock& clock, WebContent content)
    : state_(std::make_unique<State>(monitor, clock, std::move(content))) {}

WebServer::~WebServer() {
    State& s = *state_;
    if (s.daemon == nullptr) return;
    // Sleeping streams are woken to end, so that the library lets go of every connection.
    for (Stream& st : s.streams) {
        st.dropped = true;
        resume(st);
    }
    MHD_run(s.daemon);
    MHD_stop_daemon(s.daemon);
}

bool WebServer::start(const WebSettings& settings, std::string& error) {
    State& s = *state_;
    s.settings = settings;
    s.tls = !settings.certificatePem.empty();
    UniqueFd listener = openListener(settings.address, settings.port);
    if (!listener.valid()) {
        error = std::strerror(errno);
        return false;
    }
    s.port = boundPort(listener.get());
    unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (isIpv6(listener.get())) flags |= MHD_USE_IPv6;
    if (s.tls) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            error = "this build of libmicrohttpd has no TLS";
            return false;
        }
        flags |= MHD_USE_TLS;
    }
    const int fd = listener.release();
    s.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handleRequest, &s, MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
        &notifyConnection, &s, MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, &s,
        MHD_OPTION_STRICT_FOR_CLIENT, 1,
        s.tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, settings.certificatePem.c_str(),
        MHD_OPTION_HTTPS_MEM_KEY, settings.keyPem.c_str(), MHD_OPTION_HTTPS_PRIORITIES,
        "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2", MHD_OPTION_END);
    if (s.daemon == nullptr) {
        ::close(fd);
        error = s.tls ? "the TLS certificate or key was not accepted by the web server" : "the web server did not start";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(s.daemon, MHD_DAEMON_INFO_EPOLL_FD);
    s.epollFd = info != nullptr ? info->epoll_fd : -1;
    s.lastKeepAliveMillis = s.clock.elapsedMillis();
    return true;
}

int WebServer::descriptor() const { return state_->epollFd; }

std::uint16_t WebServer::port() const { return state_->port; }

std::int64_t WebServer::waitMillis() {
    State& s = *state_;
    const std::int64_t now = s.clock.elapsedMillis();
    std::int64_t wait = -1;
    const auto take = [&wait](std::int64_t ms) { wait = wait < 0 ? std::max<std::int64_t>(ms, 0) : std::min(wait, std::max<std::int64_t>(ms, 0)); };
    MHD_UNSIGNED_LONG_LONG libraryMillis = 0;
    if (MHD_get_timeout(s.daemon, &libraryMillis) == MHD_YES) {
        take(static_cast<std::int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(libraryMillis, 86'400'000)));
    }
    if (s.monitor.hasPending()) take(s.lastBatchMillis + kBatchIntervalMillis - now);
    if (!s.streams.empty()) take(s.lastKeepAliveMillis + kStreamKeepAliveMillis - now);
    for (const Peer& p : s.peers) {
        if (!p.headDone && !p.cutOff) take(p.headSince + kRequestHeadMillis - now);
    }
    return wait;
}

void WebServer::run() {
    State& s = *state_;
    const std::int64_t now = s.clock.elapsedMillis();
    for (Peer& p : s.peers) {
        if (p.headDone || p.cutOff || now - p.headSince < kRequestHeadMillis) continue;
        // A head that never completes holds a connection for nothing. Over TLS no plain
        // answer can be given, so the connection is only closed.
        p.cutOff = true;
        ++s.refused[MHD_HTTP_REQUEST_TIMEOUT];
        if (!s.tls) {
            static constexpr char kTimedOut[] =
                "HTTP/1.1 408 Request Timeout\r\nContent-Type: text/plain; charset=utf-8\r\n"
                "Content-Length: 37\r\nConnection: close\r\n\r\nno complete request head within 10 s\n";
            [[maybe_unused]] const ssize_t sent = ::send(p.fd, kTimedOut, sizeof kTimedOut - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        cutOff(p.connection);
    }
    // Every page gets the same batch, at most ten times a second.
    if (s.monitor.hasPending() && now - s.lastBatchMillis >= kBatchIntervalMillis) {
        s.lastBatchMillis = now;
        s.freshSnapshot.reset();
        deliver(s, std::make_shared<const std::string>(s.monitor.takeBatch()));
    }
    if (now - s.lastKeepAliveMillis >= kStreamKeepAliveMillis) {
        s.lastKeepAliveMillis = now;
        static const auto keepAlive = std::make_shared<const std::string>(": keep-alive\n\n");
        deliver(s, keepAlive);
    }
    MHD_run(s.daemon);
}

std::size_t WebServer::streamCount() const { return state_->streams.size(); }

std::int64_t WebServer::droppedStreams() const { return state_->dropped; }

const std::map<int, std::int64_t>& WebServer::refusals() const { return state_->refused; }

std::int64_t WebServer::connectionsWithoutRequest() const { return state_->withoutRequest; }

}  // namespace tessel
