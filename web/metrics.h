// /metrics: the service's counters and gauges in the Prometheus text exposition format.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "net/tcp_server.h"

namespace tessel {

struct MetricsValues {
    std::string version;
    std::int64_t uptimeSeconds = 0;
    std::int64_t busFramesReceived = 0;
    std::int64_t busFramesWritten = 0;
    std::int64_t clientRunsNotFrames = 0;
    std::int64_t busBytesReceived = 0;
    std::int64_t busBytesWritten = 0;
    std::int64_t clientsConnected = 0;
    std::map<RefusalReason, std::int64_t> clientsRefused;
    std::int64_t serialLost = 0;
    bool serialUp = true;
    std::int64_t busQueueFrames = 0;
    std::int64_t busHolds = 0;      // times the interface said full or off and writes stopped
    bool busWritesHeld = false;
    bool busOff = false;
    std::int64_t webStreams = 0;
    std::map<int, std::int64_t> webRefused;  // by HTTP status
    std::int64_t webStreamsDropped = 0;
    std::int64_t webWithoutRequest = 0;
    // Connections closed unserved: "descriptors", "per_address", "connection_limit".
    std::map<std::string, std::int64_t> webConnectionsRefused;
    std::map<std::string, std::int64_t> webLoginsFailed;  // "no_key", "wrong_key"
    std::int64_t clientsRefusedForDescriptors = 0;  // by the TCP listeners
    // The modules learned from the traffic; texts ISO-8859-15, as the table holds them.
    struct Module {
        std::string address;  // "10"
        std::string type, name, serial, build;
        std::int64_t lastSeen = 0;  // Unix seconds
    };
    std::int64_t modulesKnown = 0;
    std::int64_t modulesSilent = 0;
    std::vector<Module> modules;
};

std::string metricsText(const MetricsValues& values);

}  // namespace tessel
