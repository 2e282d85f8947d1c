#include "web/metrics.h"

#include <array>
#include <utility>

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

std::string refusalLabel(const std::string& reason) {
    static const std::array<std::pair<const char*, const char*>, 5> kLabels{{
        {"no TLS handshake within", "handshake_timeout"},
        {"TLS handshake failed", "handshake_failed"},
        {"no complete key within", "key_timeout"},
        {"left before its key was complete", "left_before_key"},
        {"wrong key", "wrong_key"},
    }};
    for (const auto& [start, label] : kLabels) {
        if (reason.rfind(start, 0) == 0) return label;
    }
    return "other";
}

std::string metricsText(const MetricsValues& v) {
    std::string out;
    metric(out, "tessel_build_info", "gauge", "The running version, as a label; always 1.");
    sample(out, "tessel_build_info", 1, "version=\"" + labelValue(v.version) + "\"");
    metric(out, "tessel_uptime_seconds", "gauge", "Seconds since the service started.");
    sample(out, "tessel_uptime_seconds", v.uptimeSeconds);
    metric(out, "tessel_bus_frames_received_total", "counter", "Frames received from the bus.");
    sample(out, "tessel_bus_frames_received_total", v.busFramesReceived);
    metric(out, "tessel_bus_frames_written_total", "counter", "Client frames written to the bus.");
    sample(out, "tessel_bus_frames_written_total", v.busFramesWritten);
    metric(out, "tessel_client_runs_not_frames_total", "counter",
           "Runs of client bytes that were not sound frames, never written to the bus.");
    sample(out, "tessel_client_runs_not_frames_total", v.clientRunsNotFrames);
    metric(out, "tessel_bus_bytes_total", "counter", "Bytes read from and written to the bus.");
    sample(out, "tessel_bus_bytes_total", v.busBytesReceived, "direction=\"received\"");
    sample(out, "tessel_bus_bytes_total", v.busBytesWritten, "direction=\"transmitted\"");
    metric(out, "tessel_clients_connected", "gauge", "TCP clients connected now.");
    sample(out, "tessel_clients_connected", v.clientsConnected);
    metric(out, "tessel_clients_refused_total", "counter", "Clients of a guarded port that did not get in.");
    for (const char* reason : {"handshake_timeout", "handshake_failed", "key_timeout", "left_before_key",
                               "wrong_key", "other"}) {
        const auto it = v.clientsRefused.find(reason);
        sample(out, "tessel_clients_refused_total", it == v.clientsRefused.end() ? 0 : it->second,
               std::string("reason=\"") + reason + "\"");
    }
    metric(out, "tessel_serial_lost_total", "counter", "Times the serial device was lost.");
    sample(out, "tessel_serial_lost_total", v.serialLost);
    metric(out, "tessel_serial_up", "gauge", "1 while the serial device is open, 0 while it is lost.");
    sample(out, "tessel_serial_up", v.serialUp ? 1 : 0);
    metric(out, "tessel_bus_queue_frames", "gauge", "Client runs waiting for their turn at the bus.");
    sample(out, "tessel_bus_queue_frames", v.busQueueFrames);
    metric(out, "tessel_bus_holds_total", "counter",
           "Times writes to the bus stopped because the interface said its buffer is full or the bus is off.");
    sample(out, "tessel_bus_holds_total", v.busHolds);
    metric(out, "tessel_bus_writes_held", "gauge", "1 while writes to the bus wait for the interface.");
    sample(out, "tessel_bus_writes_held", v.busWritesHeld ? 1 : 0);
    metric(out, "tessel_bus_off", "gauge", "1 while the interface says it is off the bus.");
    sample(out, "tessel_bus_off", v.busOff ? 1 : 0);
    metric(out, "tessel_web_streams", "gauge", "Web pages following the live stream now.");
    sample(out, "tessel_web_streams", v.webStreams);
    metric(out, "tessel_web_streams_dropped_total", "counter",
           "Web pages dropped because they did not keep up with the live stream.");
    sample(out, "tessel_web_streams_dropped_total", v.webStreamsDropped);
    metric(out, "tessel_web_connections_without_request_total", "counter",
           "Web connections closed before a request head came whole: not HTTP, too large, or left.");
    sample(out, "tessel_web_connections_without_request_total", v.webWithoutRequest);
    metric(out, "tessel_web_refused_total", "counter", "Web requests refused, by HTTP status.");
    for (const int status : {400, 401, 404, 405, 408, 431, 503}) {
        const auto it = v.webRefused.find(status);
        sample(out, "tessel_web_refused_total", it == v.webRefused.end() ? 0 : it->second,
               "status=\"" + std::to_string(status) + "\"");
    }
    return out;
}

}  // namespace tessel
