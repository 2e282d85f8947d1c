// What the web server's files share: the state behind WebServer, one record per connection the
// library holds and per live stream, and the calls between the parts (web_server.cpp: the
// library, its connections and their limits; web_routes.cpp: what each request gets;
// web_streams.cpp: the live streams). Not for the rest of the program, which uses web_server.h.
#pragma once
#include <microhttpd.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "platform/descriptor_reserve.h"
#include "platform/unique_fd.h"
#include "web/web_server.h"

namespace tessel {

struct WebPeer {
    MHD_Connection* connection = nullptr;
    int fd = -1;
    std::string address;  // the peer's address, without its port
    std::int64_t headSince = 0;  // when the connection opened or its last request ended
    bool headDone = false;
    bool anyHead = false;  // a request head came whole at least once
    bool firstByteSeen = false;  // anything came at all (looked at once, after 2 s)
    bool cutOff = false;
};

struct WebStream {
    WebServer::State* owner = nullptr;
    MHD_Connection* connection = nullptr;
    std::string address;
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

struct WebServer::State {
    State(WebMonitor& m, Clock& c, WebContent w) : monitor(m), clock(c), content(std::move(w)) {}
    const WebServer* server = nullptr;  // whose counts /metrics reads

    WebMonitor& monitor;
    Clock& clock;
    WebContent content;
    WebSettings settings;
    bool tls = false;
    MHD_Daemon* daemon = nullptr;
    int epollFd = -1;
    UniqueFd listener;  // accepted from here, then handed to the library
    DescriptorReserve reserve;
    std::uint16_t port = 0;
    std::list<WebPeer> peers;
    std::map<std::string, int> connectionsByAddress;  // those the library holds
    std::list<WebStream> streams;
    std::int64_t lastBatchMillis = -kBatchIntervalMillis;
    std::int64_t lastKeepAliveMillis = 0;
    std::map<int, std::int64_t> refused;                    // requests, by HTTP status
    std::map<std::string, std::int64_t> refusedConnections;  // connections closed unserved, by reason
    std::map<std::string, std::int64_t> failedLogins;        // by reason
    std::int64_t dropped = 0;
    int captureDownloads = 0;  // under way
    int projectDownloads = 0;
    std::int64_t withoutRequest = 0;
    // The snapshot of the last batch for pages that start afresh, shared by all that open
    // before the next batch.
    std::string freshSnapshotId;
    std::shared_ptr<const std::string> freshSnapshot;
    // What the last wait saw: a run looks at the listener and lets the library work only when
    // they were ready or its time is due, so the bus's bytes do not each cost two system calls.
    // Until a wait says otherwise, both are looked at.
    bool listenerSeen = true;
    bool librarySeen = true;
    std::int64_t libraryDue = 0;
};

// The library's request handler.
MHD_Result handleWebRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                            const char* upload, std::size_t* uploadSize, void** requestContext);
// A refusal: its status, a line that says why, and the connection closed.
MHD_Result refuseRequest(WebServer::State& s, MHD_Connection* c, unsigned status, const std::string& why);
MHD_Result queueResponse(MHD_Connection* c, unsigned status, MHD_Response* r);
MHD_Response* textResponse(const WebServer::State& s, const std::string& body, const char* contentType);
void commonHeaders(const WebServer::State& s, MHD_Response* r, const char* contentType);

// The live stream a page opens (GET /events); HEAD gets only its head.
MHD_Result openStream(WebServer::State& s, MHD_Connection* c, const std::string& address, bool head);
// The same event to every stream, dropping those that fell behind.
void deliverEvent(WebServer::State& s, std::shared_ptr<const std::string> event);
// Wakes every stream so that it ends, before the library stops.
void endStreams(WebServer::State& s);

// Ends a connection the library holds: its socket is shut, so the library finds it closed at
// its next look and cleans up as for any peer that left.
void cutOffConnection(MHD_Connection* c);
WebPeer* peerOf(MHD_Connection* c);
// The peer's address of a connection the library holds, without its port.
std::string connectionAddress(MHD_Connection* c);

}  // namespace tessel
