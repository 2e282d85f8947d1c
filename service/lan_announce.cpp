#include "service/lan_announce.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "web/json.h"

namespace tessel {

namespace {

bool servesEvery(const std::string& address) { return address.empty() || address == "0.0.0.0" || address == "::"; }

// A short stable name for this bridge: its host name and first port, hashed (FNV-1a).
std::string bridgeId(const AnnounceIdentity& identity) {
    std::uint32_t h = 2166136261u;
    const std::string basis = identity.hostname + ":" +
                              (identity.listeners.empty() ? std::string() : std::to_string(identity.listeners[0].port));
    for (const unsigned char c : basis) h = (h ^ c) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", h);
    return text;
}

// A datagram's header: its peer, its one buffer and room for the address it came in on.
msghdr datagramHeader(sockaddr_in& peer, iovec& buffer, char* control, std::size_t controlSize) {
    msghdr m{};
    m.msg_name = &peer;
    m.msg_namelen = sizeof peer;
    m.msg_iov = &buffer;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = controlSize;
    return m;
}

}  // namespace

std::optional<std::string> navigationAnswer(const AnnounceIdentity& identity, const std::string& local) {
    std::vector<const AnnouncedListener*> serving;
    for (const AnnouncedListener& l : identity.listeners) {
        if (servesEvery(l.address) || l.address == local) serving.push_back(&l);
    }
    if (serving.empty()) return std::nullopt;
    const auto flag = [](bool b) { return b ? "true" : "false"; };
    std::string out = "{\"message\":\"Velbus Navigation Guidance\",\"hostname\":" + jsonString(identity.hostname) +
                      ",\"model\":\"tessel-serverd\",\"id\":\"" + bridgeId(identity) + "\",\"velbus_port\":" +
                      std::to_string(serving[0]->port) + ",\"velbus_auth\":" + flag(serving[0]->key) +
                      ",\"version\":" + jsonString(identity.version) + ",\"listeners\":[";
    for (std::size_t i = 0; i < serving.size(); ++i) {
        out += std::string(i == 0 ? "" : ",") + "{\"port\":" + std::to_string(serving[i]->port) +
               ",\"auth\":" + flag(serving[i]->key) + ",\"tls\":" + flag(serving[i]->tls) + "}";
    }
    return out + "]}";
}

bool LanAnnouncer::start(std::uint16_t port, std::string& error) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    // Another program on this host may listen for the same broadcasts: each gets its copy.
    if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = std::strerror(errno);
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

std::uint16_t LanAnnouncer::port() const {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool AnswerBudget::take(std::uint32_t source, std::int64_t now) {
    if (!all_.allows(now)) return false;
    auto it = bySource_.find(source);
    if (it == bySource_.end()) {
        if (bySource_.size() >= kAnswerSources) {
            std::erase_if(bySource_, [now](const auto& entry) { return now - entry.second.newest() >= 1000; });
            if (bySource_.size() >= kAnswerSources) return false;
        }
        it = bySource_.try_emplace(source).first;
    }
    if (!it->second.allows(now)) return false;
    it->second.add(now);
    all_.add(now);
    return true;
}

void LanAnnouncer::serve(std::int64_t nowMillis) {
    for (int i = 0; i < kDatagramsPerWake; ++i) {
        char data[64];
        sockaddr_in from{};
        iovec io{data, sizeof data};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr m = datagramHeader(from, io, control, sizeof control);
        const ssize_t n = ::recvmsg(fd_.get(), &m, MSG_TRUNC);
        if (n < 0) return;  // nothing more (or an error the next datagram will not have)
        // Exactly the request: anything else, longer or cut short, is passed over.
        if (static_cast<std::size_t>(n) != kNavigationRequest.size() || (m.msg_flags & MSG_TRUNC) != 0 ||
            std::string_view(data, static_cast<std::size_t>(n)) != kNavigationRequest) {
            ++ignored_;
            continue;
        }
        in_pktinfo info{};
        bool haveInfo = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                haveInfo = true;
            }
        }
        char local[INET_ADDRSTRLEN] = "";
        if (!haveInfo || ::inet_ntop(AF_INET, &info.ipi_spec_dst, local, sizeof local) == nullptr) {
            ++ignored_;
            continue;
        }
        const auto answer = navigationAnswer(identity_, local);
        if (!answer || !budget_.take(from.sin_addr.s_addr, nowMillis)) {
            ++ignored_;
            continue;
        }
        // From the address it came in on, so the client sees the address the listener serves.
        alignas(cmsghdr) char reply[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        iovec out{const_cast<char*>(answer->data()), answer->size()};
        msghdr r = datagramHeader(from, out, reply, sizeof reply);
        cmsghdr* c = CMSG_FIRSTHDR(&r);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo source{};
        source.ipi_spec_dst = info.ipi_spec_dst;
        std::memcpy(CMSG_DATA(c), &source, sizeof source);
        if (::sendmsg(fd_.get(), &r, MSG_DONTWAIT) == static_cast<ssize_t>(answer->size())) ++answered_;
    }
}

}  // namespace tessel
