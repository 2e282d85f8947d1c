// What the service says on standard output, one line per event, made for the journal: no time
// stamps of its own, UTF-8.
#pragma once
#include <cstdio>
#include <string>

#include "net/client_table.h"
#include "platform/latin9.h"
#include "routing/monitor.h"

namespace tessel {

// "192.168.1.20:50412", "[fe80::1]:50412"
std::string clientName(const ClientRecord& record);
// `via`: the listener the client came in by, when the service names them ("127.0.0.1:8080
// (plain)"); empty: not said.
std::string clientJoinedLine(const ClientRecord& record, const std::string& via = {});
// Says how many of the client's runs were not frames.
std::string clientLeftLine(const ClientRecord& record, const std::string& via = {});
// A client of a guarded service that did not get in; `peer` is "address:port".
std::string clientRefusedLine(const std::string& peer, const std::string& reason, const std::string& via = {});
std::string serialLostLine(const std::string& device);
std::string serialBackLine(const std::string& device);

// The sd-daemon priorities the journal files a line under.
enum class JournalLevel { Error = 3, Warning = 4, Info = 6 };

// True when `fd` is the journal's own stream: JOURNAL_STREAM names its device and inode. Lines
// then carry their priority; on a terminal or in a file they stay plain.
bool isJournalStream(int fd);

// Writes one line (ended by a line feed) and hands it on at once; `levelled`: behind its "<N>".
void writeJournalLine(std::FILE* out, const std::string& line, JournalLevel level = JournalLevel::Info,
                      bool levelled = false);

// A monitor that keeps nothing: each line is written as the log file would hold it.
class JournalMonitor final : public MonitorList {
public:
    explicit JournalMonitor(std::FILE* out, bool levelled = false) : out_(out), levelled_(levelled) {}
    void insertTop(const MonitorLine& line) override;
    int lineCount() const override { return 0; }
    void removeLine(int) override {}
    std::string readCell(int, int) const override { return {}; }
    void clear() override {}

private:
    std::FILE* out_;
    bool levelled_;
};

}  // namespace tessel
