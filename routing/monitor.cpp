#include "routing/monitor.h"

#include <cctype>

#include "protocol/decoder.h"

namespace tessel {

namespace {

std::array<std::string, 5> commonCells(const ReceivedFrame& record, DateValue now) {
    return {formatDate("%hh:%ii:%ss", now), frameHexText(record.bytes),
            lengthText(record.length), checksumPairText(record.bytes), ""};
}

void insertLine(MonitorList& list, const MonitorFilter& filter, const MonitorLine& line) {
    if (!filterPasses(filter, line.cells[kHexColumn])) return;
    list.insertTop(line);
    if (list.lineCount() > kMonitorLineLimit) list.removeLine(kMonitorLineLimit);
}

}  // namespace

bool filterPasses(const MonitorFilter& filter, const std::string& hexText) {
    if (!filter.filterOn) return true;
    std::string f = filter.text;
    for (char& c : f) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const bool occurs = !f.empty() && hexText.find(f) != std::string::npos;
    if (filter.invert) return !occurs;
    return !f.empty() && hexText.compare(0, f.size(), f) == 0;
}

std::string logLineText(const std::array<std::string, 5>& cells) {
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        if (c > 0) line += '\t';
        line += cells[c];
    }
    line += '\n';
    return line;
}

MonitorLine busMonitorLine(const ReceivedFrame& record, DateValue now) {
    MonitorLine line;
    line.cells = commonCells(record, now);
    line.cells[kSourceColumn] = record.text;
    if (!checksumPair(record.bytes).agrees()) {
        line.icon = MonitorIcon::BusError;
        line.colour = kErrorRed;
    } else {
        line.icon = MonitorIcon::BusFrame;
        const std::string& hex = line.cells[kHexColumn];
        line.colour = hex.size() > 3 && hex[3] == 'B' ? kLowPriorityGreen : kBusYellowGreen;
    }
    return line;
}

MonitorLine clientMonitorLine(const ReceivedFrame& record, const ClientTable& table,
                              DateValue now) {
    MonitorLine line;
    line.cells = commonCells(record, now);
    std::string source = decodeMessage("IP", record.bytes, record.length);
    if (const ClientRecord* sender = record.sender > 0 ? findClient(table, record.sender) : nullptr) {
        source += " from " + sender->ipText + ":" + std::to_string(sender->port);
    } else if (record.sender == kFrontEndSender && !record.text.empty()) {
        source += " from " + record.text;  // a frame the front end itself sends, by its name
    }
    line.cells[kSourceColumn] = std::move(source);
    const bool sound = soundFrame(record.wellFormed != 0, record.bytes);
    line.icon = sound ? MonitorIcon::ClientFrame : MonitorIcon::ClientError;
    line.colour = sound ? kClientBlue : kErrorRed;
    return line;
}

std::string updateMonitor(MonitorList& list, const MonitorFilter& filter, const FrameQueue& toBus,
                          const FrameQueue& toClients, const ClientTable& table,
                          std::int64_t toBusSizeBefore, std::int64_t clientRuns,
                          std::int64_t toClientsSizeBefore, std::int64_t busFrames,
                          DateValue now) {
    for (std::int64_t i = 0; i < busFrames; ++i) {
        const auto at = static_cast<std::size_t>(toClientsSizeBefore + i);
        if (at >= toClients.size()) break;
        insertLine(list, filter, busMonitorLine(toClients[at], now));
    }
    for (std::int64_t i = 0; i < clientRuns; ++i) {
        const auto at = static_cast<std::size_t>(toBusSizeBefore + i);
        if (at >= toBus.size()) break;
        insertLine(list, filter, clientMonitorLine(toBus[at], table, now));
    }
    return "Log line Number: " + std::to_string(list.lineCount());
}

}  // namespace tessel
