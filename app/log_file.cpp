#include "app/log_file.h"

#include <fstream>

namespace tessel {

std::string monitorLogName(DateValue now) {
    return "Tessel-server_" + formatDate("%yyyy-%mm-%dd_%hh-%ii", now) + ".log";
}

std::string saveMonitorLog(const MonitorList& list, DateValue now, const std::string& directory) {
    const std::string path = directory + "/" + monitorLogName(now);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string line;
    const int count = list.lineCount();
    for (int i = 0; i < count; ++i) {
        line.clear();
        for (int c = 0; c < 5; ++c) {
            if (c > 0) line += '\t';
            line += list.readCell(i, c);
        }
        line += '\n';
        if (out) out << line;
    }
    return path;
}

}  // namespace tessel
