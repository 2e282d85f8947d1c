#include "service/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>

namespace tessel {

SystemdNotifier::SystemdNotifier() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        intervalMillis_ = std::max<std::int64_t>(static_cast<std::int64_t>(usec / 2000), 1);
    }
}

void SystemdNotifier::ready(const std::string& status) {
    lastStatus_ = status;
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void SystemdNotifier::status(const std::string& status) {
    if (status == lastStatus_ || stopped_) return;
    lastStatus_ = status;
    sd_notify(0, ("STATUS=" + status).c_str());
}

void SystemdNotifier::stopping() {
    if (stopped_) return;
    stopped_ = true;
    sd_notify(0, "STOPPING=1");
}

Deadline SystemdNotifier::watchdogDeadline() const {
    if (intervalMillis_ == 0) return std::nullopt;
    return lastPingMillis_ + intervalMillis_;
}

void SystemdNotifier::keepAlive(std::int64_t now) {
    if (intervalMillis_ == 0 || now - lastPingMillis_ < intervalMillis_) return;
    lastPingMillis_ = now;
    sd_notify(0, "WATCHDOG=1");
}

}  // namespace tessel
