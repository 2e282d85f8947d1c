// The service's side of the main loop: a plain poll() that also watches for SIGTERM and SIGINT,
// and journal lines on standard output instead of a window.
#pragma once
#include <cstdio>

#include "bridge/bridge.h"
#include "service/journal.h"

namespace tessel {

class ServiceShell final : public Shell {
public:
    // `stopSignals`: a descriptor that becomes readable when the service is asked to stop.
    ServiceShell(int stopSignals, bool monitorLines, std::FILE* out)
        : stopSignals_(stopSignals), monitorLines_(monitorLines), out_(out), monitor_(out) {}

    WaitOutcome wait(Bridge& bridge, int timeoutMs, std::span<pollfd> watched) override;
    MonitorList* monitor() override { return monitorLines_ ? &monitor_ : nullptr; }
    void clientJoined(const ClientRecord& record) override;
    void clientLeft(const ClientRecord& record) override;
    void clientRefused(const std::string& peer, const std::string& reason) override;
    void serialLost(const std::string& device) override;
    void serialBack(const std::string& device) override;

private:
    int stopSignals_;
    bool monitorLines_;
    std::FILE* out_;
    JournalMonitor monitor_;
    std::vector<pollfd> fds_;
};

}  // namespace tessel
