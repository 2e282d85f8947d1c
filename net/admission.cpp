// The admission of a guarded server's clients: the TLS handshake and then the shared key, each
// within its time, before a client counts as connected.
#include "net/server_parts.h"

namespace tessel {

void beginAdmission(Connection& c, const ClientGuard& guard, std::int64_t now) {
    c.peer = peerText(c.socket.get());
    if (guard.transports) {
        c.transport = guard.transports(c.socket.get());
        c.handshaken = false;
    }
    if (!guard.key.empty()) c.gate.emplace(guard.key);
    c.admitBy = now + (c.handshaken ? kKeyMillis : kHandshakeMillis);
}

Entry advanceEntry(Connection& c, std::int64_t now, Refusal& refusal) {
    // Past its time, a client is still judged on what it sent: the loop may have been held
    // (stopped, or busy) while its bytes were waiting.
    bool late = now > c.admitBy;
    if (!c.handshaken) {
        const Transport::Progress p = c.transport->handshake();
        if (p == Transport::Progress::Failed) {
            refusal.reason = RefusalReason::HandshakeFailed;
            return Entry::Refused;
        }
        c.handshakeWantsWrite = p == Transport::Progress::WantWrite;
        if (p != Transport::Progress::Done) {
            if (!late) return Entry::Entering;
            refusal.reason = RefusalReason::HandshakeTimeout;
            return Entry::Refused;
        }
        c.handshaken = true;
        if (!c.gate) return Entry::Admitted;
        c.admitBy = now + kKeyMillis;
        late = false;
    }
    if (!c.gate) {
        refusal.reason = RefusalReason::KeyTimeout;
        return Entry::Refused;
    }
    while (c.gate->state() == KeyGate::State::Waiting) {
        if (!fillInbox(c)) {
            refusal.reason = RefusalReason::LeftBeforeKey;
            return Entry::Refused;
        }
        if (c.inbox.empty()) {
            if (!late) return Entry::Entering;
            refusal.reason = RefusalReason::KeyTimeout;
            refusal.detail = std::to_string(c.gate->received()) + " of " + std::to_string(c.gate->keyLength()) +
                             " bytes came";
            return Entry::Refused;
        }
        // No key holds a frame's start byte: a client that sends a frame first never sent its key.
        if (c.gate->received() == 0 && c.inbox.front() == kStartByte) {
            refusal.reason = RefusalReason::FrameBeforeKey;
            return Entry::Refused;
        }
        const std::size_t used = c.gate->take(c.inbox);
        c.inbox.erase(c.inbox.begin(), c.inbox.begin() + static_cast<std::ptrdiff_t>(used));
    }
    if (c.gate->state() == KeyGate::State::Refused) {
        refusal.reason = RefusalReason::WrongKey;
        return Entry::Refused;
    }
    return Entry::Admitted;
}

const RefusalKind& refusalKind(RefusalReason reason) {
    for (const RefusalKind& kind : kRefusalKinds) {
        if (kind.reason == reason) return kind;
    }
    return kRefusalKinds.back();
}

std::string refusalText(const Refusal& refusal) {
    std::string text = refusalKind(refusal.reason).text;
    if (!refusal.detail.empty()) text += ": " + refusal.detail;
    return text;
}

bool entryMayMove(const NetworkState& net, const Connection& c, std::int64_t now) {
    return mayBeReady(net, c.socket.get()) || now > c.admitBy ||
           (c.transport && c.transport->hasBuffered());
}

Deadline nextAdmissionDeadline(const NetworkState& net) {
    std::optional<std::int64_t> next;
    for (const auto& [number, server] : net.servers) {
        for (const auto& c : server.entering) {
            if (!next || c.admitBy + 1 < *next) next = c.admitBy + 1;
        }
    }
    return next;
}

}  // namespace tessel
