// The service from process start to its end.
#pragma once

namespace tessel {

constexpr int kExitStopped = 0;
constexpr int kExitStartFailed = 1;  // the device or the port could not be opened
constexpr int kExitUsage = 2;

int runService(int argc, char** argv);

}  // namespace tessel
