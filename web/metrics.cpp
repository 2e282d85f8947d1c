#include "web/metrics.h"

#include <array>
#include <span>
#include <utility>
#include <vector>

#include "platform/latin9.h"

namespace tessel {

namespace {

void metric(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, std::int64_t value, const std::string& labels = {}) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ' + std::to_string(value) + '\n';
}

// Label values may hold any text; these three characters must be escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

}  // namespace


namespace {

struct Single {
    const char* name;
    const char* type;
    const char* help;
    std::int64_t value;
};

void singles(std::string& out, std::span<const Single> list) {
    for (const Single& m : list) {
        metric(out, m.name, m.type, m.help);
        sample(out, m.name, m.value);
    }
}

using LabelCounts = std::vector<std::pair<std::string, std::int64_t>>;

// A family with one sample per label value, 0 for those not counted yet.
void labelled(std::string& out, const char* name, const char* help, const std::string& label, const LabelCounts& values) {
    metric(out, name, "counter", help);
    for (const auto& [value, count] : values) sample(out, name, count, label + "=\"" + value + "\"");
}

// Every reason is listed, 0 until it is counted, so that an alert rule finds its sample.
LabelCounts byReason(const std::map<std::string, std::int64_t>& counts, std::initializer_list<const char*> reasons) {
    LabelCounts list;
    for (const char* reason : reasons) {
        const auto it = counts.find(reason);
        list.emplace_back(reason, it == counts.end() ? 0 : it->second);
    }
    return list;
}

// The bridge's own: the version, the bus's frames and bytes, the clients, the device, the queue.
void bridgeMetrics(std::string& out, const MetricsValues& v) {
    const Single before[] = {
        {"tessel_uptime_seconds", "gauge", "Seconds since the service started.", v.uptimeSeconds},
        {"tessel_bus_frames_received_total", "counter", "Frames received from the bus.", v.busFramesReceived},
        {"tessel_bus_frames_written_total", "counter", "Client frames written to the bus.", v.busFramesWritten},
        {"tessel_client_runs_not_frames_total", "counter",
         "Runs of client bytes that were not sound frames, never written to the bus.", v.clientRunsNotFrames},
    };
    const Single after[] = {
        {"tessel_clients_connected", "gauge", "TCP clients connected now.", v.clientsConnected},
        {"tessel_serial_lost_total", "counter", "Times the serial device was lost.", v.serialLost},
        {"tessel_serial_up", "gauge", "1 while the serial device is open, 0 while it is lost.", v.serialUp ? 1 : 0},
        {"tessel_bus_queue_frames", "gauge", "Client runs waiting for their turn at the bus.", v.busQueueFrames},
        {"tessel_bus_holds_total", "counter",
         "Times writes to the bus stopped because the interface said its buffer is full or the bus is off.",
         v.busHolds},
        {"tessel_bus_writes_held", "gauge", "1 while writes to the bus wait for the interface.", v.busWritesHeld ? 1 : 0},
        {"tessel_bus_off", "gauge", "1 while the interface says it is off the bus.", v.busOff ? 1 : 0},
        {"tessel_web_streams", "gauge", "Web pages following the live stream now.", v.webStreams},
        {"tessel_web_streams_dropped_total", "counter",
         "Web pages dropped because they did not keep up with the live stream.", v.webStreamsDropped},
        {"tessel_web_connections_without_request_total", "counter",
         "Web connections closed before a request head came whole: not HTTP, too large, or left.", v.webWithoutRequest},
    };
    metric(out, "tessel_build_info", "gauge", "The running version, as a label; always 1.");
    sample(out, "tessel_build_info", 1, "version=\"" + labelValue(v.version) + "\"");
    singles(out, before);
    metric(out, "tessel_bus_bytes_total", "counter", "Bytes read from and written to the bus.");
    sample(out, "tessel_bus_bytes_total", v.busBytesReceived, "direction=\"received\"");
    sample(out, "tessel_bus_bytes_total", v.busBytesWritten, "direction=\"transmitted\"");
    singles(out, after);
}

// Who was turned away, at the TCP listeners and at the web monitor, and why.
void refusalMetrics(std::string& out, const MetricsValues& v) {
    std::vector<std::pair<std::string, std::int64_t>> refused;
    for (const RefusalKind& kind : kRefusalKinds) {
        const auto it = v.clientsRefused.find(kind.reason);
        refused.emplace_back(kind.label, it == v.clientsRefused.end() ? 0 : it->second);
    }
    refused.emplace_back("descriptors", v.clientsRefusedForDescriptors);
    labelled(out, "tessel_clients_refused_total",
             "TCP clients that did not get in: by the guard's reason, or for want of descriptors.", "reason", refused);
    std::vector<std::pair<std::string, std::int64_t>> statuses;
    for (const int status : {400, 401, 404, 405, 408, 414, 431, 503}) {
        const auto it = v.webRefused.find(status);
        statuses.emplace_back(std::to_string(status), it == v.webRefused.end() ? 0 : it->second);
    }
    labelled(out, "tessel_web_refused_total", "Web requests refused, by HTTP status.", "status", statuses);
    labelled(out, "tessel_web_connections_refused_total",
             "Web connections closed before any request: for want of descriptors, over one address's share, "
             "over the port's limit, with nothing sent within 2 s, or from another than --web-peer.",
             "reason", byReason(v.webConnectionsRefused,
                                {"descriptors", "per_address", "connection_limit", "idle", "not_the_peer"}));
    labelled(out, "tessel_web_logins_failed_total", "Web requests without the key, or with a wrong one.", "reason",
             byReason(v.webLoginsFailed, {"no_key", "wrong_key"}));
}

// The house learned from the traffic.
void moduleMetrics(std::string& out, const MetricsValues& v) {
    metric(out, "tessel_modules", "gauge",
           "Modules learned from the traffic: all known, and those not heard for --silent-after.");
    sample(out, "tessel_modules", v.modulesKnown, "state=\"known\"");
    sample(out, "tessel_modules", v.modulesSilent, "state=\"silent\"");
    metric(out, "tessel_module_info", "gauge", "A module learned from the traffic, as labels; always 1.");
    for (const auto& m : v.modules) {
        sample(out, "tessel_module_info", 1,
               "address=\"" + m.address + "\",type=\"" + labelValue(latin9ToUtf8(m.type)) + "\",name=\"" +
                   labelValue(latin9ToUtf8(m.name)) + "\",serial=\"" + labelValue(m.serial) + "\",build=\"" +
                   labelValue(m.build) + "\"");
    }
    metric(out, "tessel_module_last_seen_seconds", "gauge", "When a module was last heard, in Unix seconds.");
    for (const auto& m : v.modules) {
        sample(out, "tessel_module_last_seen_seconds", m.lastSeen, "address=\"" + m.address + "\"");
    }
}

}  // namespace

std::string metricsText(const MetricsValues& v) {
    std::string out;
    bridgeMetrics(out, v);
    refusalMetrics(out, v);
    moduleMetrics(out, v);
    return out;
}

}  // namespace tessel
