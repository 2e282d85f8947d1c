// What each request gets: /livez and /healthz to anyone, the page, its stream, its assets, /metrics,
// /modules.json, /capture and /house.vlp behind the key, and a refusal with a line that says why
// for everything else.
#include <algorithm>
#include <cstring>

#include "net/key_gate.h"
#include "web/web_assets.h"
#include "web/web_state.h"

namespace tessel {

namespace {

using State = WebServer::State;

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

// Why the key was not given, or empty when it was. Nothing of what came is kept or written.
// libmicrohttpd 1.0 replaced the Basic-auth calls (0.9.77 brought the new ones); each version
// gets its own, so that neither builds on the other's deprecated half.
#if MHD_VERSION >= 0x00097704
std::string keyProblem(const State& s, MHD_Connection* c) {
    MHD_BasicAuthInfo* info = MHD_basic_auth_get_username_password3(c);
    if (info == nullptr) return "no_key";
    bool given = false;
    if (info->password != nullptr) {
        given = sameBytes(std::string(info->password, info->password_len), s.settings.key);
        std::fill_n(info->password, info->password_len, '\0');
    }
    const bool any = info->password != nullptr;
    MHD_free(info);
    if (given) return {};
    return any ? "wrong_key" : "no_key";
}

MHD_Result queueKeyRequest(MHD_Connection* c, MHD_Response* r) {
    return MHD_queue_basic_auth_required_response3(c, "tessel-server", MHD_NO, r);
}
#else
std::string keyProblem(const State& s, MHD_Connection* c) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(c, &password);
    const bool given = password != nullptr && sameBytes(password, s.settings.key);
    const bool any = password != nullptr;
    if (password != nullptr) {
        std::fill_n(password, std::strlen(password), '\0');
        MHD_free(password);
    }
    if (user != nullptr) MHD_free(user);
    if (given) return {};
    return any ? "wrong_key" : "no_key";
}

MHD_Result queueKeyRequest(MHD_Connection* c, MHD_Response* r) {
    return MHD_queue_basic_auth_fail_response(c, "tessel-server", r);
}
#endif

struct Reading {
    int* underWay = nullptr;  // the count of its kind
    Download download;
};

ssize_t readDownload(void* cls, std::uint64_t, char* out, std::size_t max) {
    const std::size_t n = static_cast<Reading*>(cls)->download.read(out, max);
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
}

void downloadDone(void* cls) {
    auto* reading = static_cast<Reading*>(cls);
    --*reading->underWay;
    delete reading;
}

// A file made as the browser takes it (a full capture's text is tens of megabytes). The library
// owns the reading from here and gives it back to downloadDone.
MHD_Result sendDownload(State& s, MHD_Connection* c, Download download, int& underWay, const char* contentType) {
    const std::string disposition = "attachment; filename=\"" + download.fileName + "\"";
    auto reading = std::make_unique<Reading>(Reading{&underWay, std::move(download)});
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 32 * 1024, &readDownload, reading.get(),
                                                        &downloadDone);
    if (r == nullptr) return MHD_NO;
    reading.release();
    ++underWay;
    commonHeaders(s, r, contentType);
    MHD_add_response_header(r, "Content-Disposition", disposition.c_str());
    return queueResponse(c, MHD_HTTP_OK, r);
}

// ?minutes=N: a whole number of minutes, at most a week; absent: all the capture holds.
std::optional<std::optional<std::int64_t>> captureMinutes(MHD_Connection* c) {
    const char* text = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "minutes");
    if (text == nullptr) return std::optional<std::int64_t>();
    std::int64_t minutes = 0;
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 6) return std::nullopt;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        minutes = minutes * 10 + (text[i] - '0');
    }
    if (minutes < 1 || minutes > kMaxCaptureMinutes) return std::nullopt;
    return std::optional<std::int64_t>(minutes);
}

MHD_Result sendCapture(State& s, MHD_Connection* c) {
    const auto minutes = captureMinutes(c);
    if (!minutes) {
        return refuseRequest(s, c, MHD_HTTP_BAD_REQUEST,
                             "minutes must be a whole number from 1 to " + std::to_string(kMaxCaptureMinutes));
    }
    if (s.captureDownloads >= kMaxCaptureDownloads) {
        return refuseRequest(s, c, MHD_HTTP_SERVICE_UNAVAILABLE, "two captures are on their way already; try again shortly");
    }
    return sendDownload(s, c, s.content.capture(*minutes), s.captureDownloads, "text/plain; charset=utf-8");
}

MHD_Result sendProject(State& s, MHD_Connection* c) {
    if (s.projectDownloads >= kMaxProjectDownloads) {
        return refuseRequest(s, c, MHD_HTTP_SERVICE_UNAVAILABLE, "four project files are on their way already; try again shortly");
    }
    return sendDownload(s, c, s.content.project(), s.projectDownloads, "application/xml; charset=utf-8");
}

MHD_Result respond(State& s, MHD_Connection* c, const std::string& url, const char* method, const char* version) {
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
        return refuseRequest(s, c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served here");
    }
    if (headBytes(c, url.c_str(), method, version) > kMaxRequestHeadBytes) {
        return refuseRequest(s, c, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "the request head is over 8 KiB");
    }
    if (MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, nullptr, nullptr) > kMaxQueryArguments) {
        return refuseRequest(s, c, MHD_HTTP_URI_TOO_LONG, "too many query arguments");
    }
    // Liveness: answered by the loop itself, so it says the loop turns, whatever the device
    // does; a watchdog that restarted on /healthz would restart for every unplugged interface.
    if (url == "/livez") return queueResponse(c, MHD_HTTP_OK, textResponse(s, "alive\n", "text/plain; charset=utf-8"));
    if (url == "/healthz") {
        const std::string problem = s.content.healthProblem();
        return queueResponse(c, problem.empty() ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE,
                             textResponse(s, (problem.empty() ? "ok" : problem) + "\n", "text/plain; charset=utf-8"));
    }
    const std::string address = connectionAddress(c);
    const bool trusted = s.settings.peerTrusted && address == s.settings.peer;
    if (!s.settings.key.empty() && !trusted) {
        if (const std::string problem = keyProblem(s, c); !problem.empty()) {
            ++s.failedLogins[problem];
            if (s.content.loginFailed) s.content.loginFailed(address, problem);
            return refuseRequest(s, c, MHD_HTTP_UNAUTHORIZED, "this bridge's key is needed, as the password");
        }
    }
    if (url == "/events") return openStream(s, c, address, head);
    if (url == "/metrics") {
        return queueResponse(c, MHD_HTTP_OK,
                             textResponse(s, s.content.metrics(*s.server), "text/plain; version=0.0.4; charset=utf-8"));
    }
    if (url == "/modules.json" && s.content.modules) {
        return queueResponse(c, MHD_HTTP_OK, textResponse(s, s.content.modules(), "application/json"));
    }
    if (url == "/capture" && s.content.capture) return sendCapture(s, c);
    if (url == "/house.vlp" && s.content.project) return sendProject(s, c);
    if (const WebAsset* asset = findWebAsset(url)) {
        MHD_Response* r = MHD_create_response_from_buffer(asset->size, const_cast<std::uint8_t*>(asset->data),
                                                          MHD_RESPMEM_PERSISTENT);
        if (r != nullptr) commonHeaders(s, r, asset->contentType);
        return queueResponse(c, MHD_HTTP_OK, r);
    }
    return refuseRequest(s, c, MHD_HTTP_NOT_FOUND, "no such page");
}

}  // namespace

void commonHeaders(const State& s, MHD_Response* r, const char* contentType) {
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_add_response_header(r, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    // A browser that once came over HTTPS never falls back to plain HTTP here.
    if (s.tls) MHD_add_response_header(r, "Strict-Transport-Security", "max-age=31536000");
}

MHD_Result queueResponse(MHD_Connection* c, unsigned status, MHD_Response* r) {
    if (r == nullptr) return MHD_NO;
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Response* textResponse(const State& s, const std::string& body, const char* contentType) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r != nullptr) commonHeaders(s, r, contentType);
    return r;
}

MHD_Result refuseRequest(State& s, MHD_Connection* c, unsigned status, const std::string& why) {
    ++s.refused[static_cast<int>(status)];
    MHD_Response* r = textResponse(s, why + "\n", "text/plain; charset=utf-8");
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    if (status == MHD_HTTP_UNAUTHORIZED) {
        const MHD_Result queued = queueKeyRequest(c, r);
        MHD_destroy_response(r);
        return queued;
    }
    return queueResponse(c, status, r);
}

MHD_Result handleWebRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                            const char*, std::size_t* uploadSize, void** requestContext) {
    State& s = *static_cast<State*>(cls);
    if (*requestContext != nullptr) {
        *uploadSize = 0;  // a body nobody asked for is let go
        return MHD_YES;
    }
    *requestContext = &s;
    if (WebPeer* p = peerOf(c)) p->headDone = p->anyHead = true;
    return respond(s, c, url != nullptr ? url : "", method, version);
}

}  // namespace tessel
