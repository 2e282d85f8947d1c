// The service from process start to its end.
#pragma once

namespace tessel {

constexpr int kExitStopped = 0;
// The device or a port could not be opened: it may mend itself, so systemd tries again.
constexpr int kExitStartFailed = 1;
// A usage error or a configuration that will not do (a bad value, a file that cannot be read or
// is open to others, a key that does not match its certificate): no restart can mend it, and
// the unit's RestartPreventExitStatus=2 stops systemd from trying.
constexpr int kExitUsage = 2;

int runService(int argc, char** argv);

}  // namespace tessel
