#include "service/journal.h"

#include <sys/stat.h>

#include <cstdlib>

namespace tessel {

std::string clientName(const ClientRecord& r) { return r.ipText + ":" + std::to_string(r.port); }

namespace {

std::string viaText(const std::string& via) { return via.empty() ? "" : " via " + via; }

}  // namespace

std::string clientJoinedLine(const ClientRecord& r, const std::string& via) {
    return "client " + clientName(r) + viaText(via) + " connected";
}

std::string clientLeftLine(const ClientRecord& r, const std::string& via) {
    return "client " + clientName(r) + viaText(via) + " gone, " + std::to_string(r.errorCount) +
           (r.errorCount == 1 ? " run" : " runs") + " not frames";
}

std::string clientRefusedLine(const std::string& peer, const std::string& reason, const std::string& via) {
    return "client " + peer + viaText(via) + " refused: " + reason;
}

std::string serialLostLine(const std::string& device) { return "Velbus serial " + device + " lost"; }

std::string serialBackLine(const std::string& device) { return "Velbus serial " + device + " back"; }

bool isJournalStream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || ::fstat(fd, &st) != 0) return false;
    return std::string(stream) == std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

void writeJournalLine(std::FILE* out, const std::string& line, JournalLevel level, bool levelled) {
    if (levelled) std::fprintf(out, "<%d>", static_cast<int>(level));
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void JournalMonitor::insertTop(const MonitorLine& line) {
    std::string text = latin9ToUtf8(logLineText(line.cells));
    text.pop_back();  // the line feed
    writeJournalLine(out_, text, JournalLevel::Info, levelled_);
}

}  // namespace tessel
