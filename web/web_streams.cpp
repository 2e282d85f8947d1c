// The live streams: each page's Server-Sent Events, fed the same batches, asleep while there is
// nothing to send, dropped when it falls behind, and at most a few from one address.
#include <algorithm>
#include <cstring>

#include "web/web_state.h"

namespace tessel {

namespace {

using State = WebServer::State;

constexpr std::size_t kStreamPieceBytes = 16 * 1024;

void resume(WebStream& st) {
    if (!st.suspended) return;
    st.suspended = false;
    MHD_resume_connection(st.connection);
}

void dropStream(State& s, WebStream& st) {
    st.dropped = true;
    st.pending.clear();
    st.taken = st.backlog = 0;
    ++s.dropped;
    // A waiting stream ends at its next read; one stuck on a full socket is cut off.
    if (st.suspended) {
        resume(st);
    } else {
        cutOffConnection(st.connection);
    }
}

ssize_t readStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
    WebStream& st = *static_cast<WebStream*>(cls);
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
    auto* ended = static_cast<WebStream*>(cls);
    State& s = *ended->owner;
    s.streams.remove_if([ended](const WebStream& st) { return &st == ended; });
}

std::shared_ptr<const std::string> snapshotFor(State& s, const std::string& lastEventId) {
    if (s.monitor.resumes(lastEventId)) return std::make_shared<const std::string>(s.monitor.snapshotEvent(lastEventId));
    if (s.freshSnapshot == nullptr || s.freshSnapshotId != s.monitor.lastEventId()) {
        s.freshSnapshotId = s.monitor.lastEventId();
        s.freshSnapshot = std::make_shared<const std::string>(s.monitor.snapshotEvent({}));
    }
    return s.freshSnapshot;
}

}  // namespace

void deliverEvent(State& s, std::shared_ptr<const std::string> event) {
    for (WebStream& st : s.streams) {
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

void endStreams(State& s) {
    for (WebStream& st : s.streams) {
        st.dropped = true;
        resume(st);
    }
}

MHD_Result openStream(State& s, MHD_Connection* c, const std::string& address, bool head) {
    if (s.streams.size() >= static_cast<std::size_t>(kMaxEventStreams)) {
        return refuseRequest(s, c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many live pages open; close one and reload");
    }
    // One host cannot take every stream from the others.
    if (std::count_if(s.streams.begin(), s.streams.end(), [&](const WebStream& st) { return st.address == address; }) >=
        kEventStreamsPerAddress) {
        return refuseRequest(s, c, MHD_HTTP_SERVICE_UNAVAILABLE,
                             "too many live pages open from this address; close one and reload");
    }
    if (head) return queueResponse(c, MHD_HTTP_OK, textResponse(s, "", "text/event-stream"));
    const char* last = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Last-Event-ID");
    WebStream& st = s.streams.emplace_back();
    st.owner = &s;
    st.connection = c;
    st.address = address;
    st.pending.push_back(snapshotFor(s, last != nullptr ? last : ""));
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamPieceBytes, &readStream, &st,
                                                        &streamEnded);
    if (r == nullptr) {
        s.streams.pop_back();
        return MHD_NO;
    }
    commonHeaders(s, r, "text/event-stream; charset=utf-8");
    MHD_add_response_header(r, "X-Accel-Buffering", "no");
    // A quiet bus is no reason to close a page's stream; the keep-alive comments keep it warm.
    MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    return queueResponse(c, MHD_HTTP_OK, r);
}

}  // namespace tessel
