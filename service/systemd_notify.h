// What the service tells systemd through libsystemd's sd_notify: ready once the device is open
// and every listener listens, a status line when it changes, stopping, and that its loop is
// alive at half the watchdog's interval. Without NOTIFY_SOCKET it says nothing.
#pragma once
#include <cstdint>
#include <string>

#include "platform/deadline.h"

namespace tessel {

class SystemdNotifier {
public:
    // Reads whether systemd watches this process (WatchdogSec= in the unit).
    SystemdNotifier();

    void ready(const std::string& status);
    // Sent only when it differs from the last one.
    void status(const std::string& status);
    void stopping();

    // When the next watchdog ping is due; none without a watchdog.
    Deadline watchdogDeadline() const;
    // Pings when due.
    void keepAlive(std::int64_t nowMillis);
    std::int64_t watchdogIntervalMillis() const { return intervalMillis_; }

private:
    std::int64_t intervalMillis_ = 0;  // half the watchdog's time-out; 0: none
    std::int64_t lastPingMillis_ = 0;
    std::string lastStatus_;
    bool stopped_ = false;
};

}  // namespace tessel
