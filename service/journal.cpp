#include "service/journal.h"

namespace tessel {

std::string clientName(const ClientRecord& r) { return r.ipText + ":" + std::to_string(r.port); }

std::string clientJoinedLine(const ClientRecord& r) { return "client " + clientName(r) + " connected"; }

std::string clientLeftLine(const ClientRecord& r) {
    return "client " + clientName(r) + " gone, " + std::to_string(r.errorCount) +
           (r.errorCount == 1 ? " run" : " runs") + " not frames";
}

std::string clientRefusedLine(const std::string& peer, const std::string& reason) {
    return "client " + peer + " refused: " + reason;
}

std::string serialLostLine(const std::string& device) { return "Velbus serial " + device + " lost"; }

std::string serialBackLine(const std::string& device) { return "Velbus serial " + device + " back"; }

void writeJournalLine(std::FILE* out, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void JournalMonitor::insertTop(const MonitorLine& line) {
    std::string text = latin9ToUtf8(logLineText(line.cells));
    text.pop_back();  // the line feed
    writeJournalLine(out_, text);
}

}  // namespace tessel
