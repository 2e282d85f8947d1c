#include "app/log_file.h"

#include <array>
#include <fstream>

namespace tessel {

std::string monitorLogName(DateValue now) {
    return "Tessel-server_" + formatDate("%yyyy-%mm-%dd_%hh-%ii", now) + ".log";
}

std::string saveMonitorLog(const MonitorList& list, DateValue now, const std::string& directory) {
    const std::string path = directory + "/" + monitorLogName(now);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const int count = list.lineCount();
    std::array<std::string, 5> cells;
    for (int i = 0; i < count; ++i) {
        for (int c = 0; c < 5; ++c) cells[static_cast<std::size_t>(c)] = list.readCell(i, c);
        if (out) out << logLineText(cells);
    }
    return path;
}

}  // namespace tessel
