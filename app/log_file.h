// "Save": the monitor's lines written to a dated file, top line first.
#pragma once
#include <string>

#include "platform/date.h"
#include "routing/monitor.h"

namespace tessel {

// "Tessel-server_2026-12-07_22-31.log"
std::string monitorLogName(DateValue now);

// Writes the five text columns of every line, TAB-separated and LF-ended, into `directory`.
// Returns the path written (the result of creating the file is not reported).
std::string saveMonitorLog(const MonitorList& list, DateValue now,
                           const std::string& directory = ".");

}  // namespace tessel
