#include "web/web_monitor.h"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "web/json.h"

namespace tessel {

namespace {

std::string colourText(Rgb c) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "#";
    for (const std::uint8_t v : {c.r, c.g, c.b}) {
        out += kHex[v >> 4];
        out += kHex[v & 0x0F];
    }
    return out;
}

std::string barsJson(const std::array<int, kGraphWidth>& bars) {
    std::string out = "[";
    for (std::size_t i = 0; i < bars.size(); ++i) {
        if (i > 0) out += ',';
        out += std::to_string(bars[i]);
    }
    return out + "]";
}

std::string sseEvent(const std::string& id, const char* name, const std::string& data) {
    return "id: " + id + "\nevent: " + name + "\ndata: " + data + "\n\n";
}

}  // namespace

std::string monitorLineJson(const MonitorLine& line) {
    return "{\"icon\":" + std::to_string(static_cast<int>(line.icon)) + ",\"colour\":\"" +
           colourText(line.colour) + "\",\"cells\":[" + jsonLatin9(line.cells[0]) + "," +
           jsonLatin9(line.cells[1]) + "," + jsonLatin9(line.cells[2]) + "," +
           jsonLatin9(line.cells[3]) + "," + jsonLatin9(line.cells[4]) + "]}";
}

std::int64_t eventSequence(const std::string& lastEventId, const std::string& instance) {
    if (lastEventId.size() <= instance.size() + 1 || lastEventId.compare(0, instance.size(), instance) != 0 ||
        lastEventId[instance.size()] != '-') {
        return -1;
    }
    std::int64_t value = -1;
    const char* first = lastEventId.data() + instance.size() + 1;
    const char* last = lastEventId.data() + lastEventId.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || value < 0) return -1;
    return value;
}

void WebMonitorLines::insertTop(const MonitorLine& line) {
    owner_.held_.push_front({owner_.sequence_ + 1, line, monitorLineJson(line)});
    ++owner_.pendingLines_;
}

int WebMonitorLines::lineCount() const { return static_cast<int>(owner_.held_.size()); }

void WebMonitorLines::removeLine(int index) {
    if (index < 0 || index >= lineCount()) return;
    if (owner_.held_[static_cast<std::size_t>(index)].batch > owner_.sequence_) --owner_.pendingLines_;
    owner_.held_.erase(owner_.held_.begin() + index);
}

std::string WebMonitorLines::readCell(int line, int column) const {
    if (line < 0 || line >= lineCount() || column < 0 || column > 4) return {};
    return owner_.held_[static_cast<std::size_t>(line)].line.cells[static_cast<std::size_t>(column)];
}

void WebMonitorLines::clear() {
    owner_.held_.clear();
    owner_.pendingLines_ = 0;
}

void WebClientRows::clear() {
    owner_.clientRows_.clear();
    owner_.changedRows_.clear();
    owner_.rowsReset_ = true;
    owner_.clientsChanged_ = true;
}

void WebClientRows::insertTop(const ClientRow& row) { updateRow(row); }

void WebClientRows::updateRow(const ClientRow& row) {
    std::string json = "{\"key\":" + std::to_string(row.rowKey) +
                       ",\"active\":" + std::string(row.active ? "true" : "false") + ",\"cells\":[" +
                       jsonLatin9(row.address) + "," + jsonLatin9(row.startDate) + "," + jsonLatin9(row.endDate) +
                       "," + jsonLatin9(row.errors) + "]" +
                       (owner_.listenerOf_ ? ",\"listener\":" + jsonLatin9(owner_.listenerOf_(row.clientId))
                                           : std::string()) +
                       "}";
    owner_.clientRows_[row.rowKey] = json;
    if (!owner_.rowsReset_) owner_.changedRows_[row.rowKey] = std::move(json);
    owner_.clientsChanged_ = true;
}

void WebClientRows::removeRow(std::int64_t rowKey) {
    if (owner_.clientRows_.erase(rowKey) == 0) return;
    if (!owner_.rowsReset_) owner_.changedRows_[rowKey] = std::nullopt;
    owner_.clientsChanged_ = true;
}

void WebClientRows::setMoreEnded(std::int64_t count) {
    if (count == owner_.moreEnded_) return;
    owner_.moreEnded_ = count;
    owner_.clientsChanged_ = true;
}

void WebStats::setRates(const std::string& rxText, const std::string& txText) {
    owner_.rxRate_ = rxText;
    owner_.txRate_ = txText;
    owner_.statsChanged_ = true;
}

void WebStats::showSamples(const std::deque<BandwidthSample>& history) {
    std::size_t x = 0;
    for (const BandwidthSample& s : history) {
        if (x >= owner_.rxBars_.size()) break;
        owner_.rxBars_[x] = barPixels(s.rxHeight);
        owner_.txBars_[x] = barPixels(s.txHeight);
        ++x;
    }
    owner_.statsChanged_ = true;
}

void WebStats::setUptime(const std::string& uptimeText, const std::string& clockText) {
    owner_.uptime_ = uptimeText;
    owner_.clock_ = clockText;
    owner_.statsChanged_ = true;
}

WebMonitor::WebMonitor(std::string instance) : instance_(std::move(instance)) {
    rxBars_.fill(1);  // the base line of an empty graph
    txBars_.fill(1);
}

void WebMonitor::setStatus(const WebStatus& status) {
    status_ = status;
    statusChanged_ = true;
}

void WebMonitor::setModuleRow(std::uint8_t address, std::string json) {
    auto& row = moduleRows_[address];
    if (row == json) return;
    row = std::move(json);
    changedModules_.insert(address);
}

void WebMonitor::setModuleSeen(std::uint8_t address, std::int64_t lastSeen) {
    lastSeen_[address] = lastSeen;
    changedSeen_.insert(address);
}

void WebMonitor::removeModuleRow(std::uint8_t address) {
    if (moduleRows_.erase(address) == 0) return;
    lastSeen_.erase(address);
    changedModules_.erase(address);
    changedSeen_.erase(address);
    goneModules_.insert(address);
}

// The panel's rows and last-heard times (all, or those changed since the last batch) and the
// host's time.
std::string WebMonitor::modulesJson(bool all) const {
    std::string out;
    if (all || !changedModules_.empty()) {
        out += all ? ",\"modules\":[" : ",\"moduleChanges\":[";
        bool first = true;
        for (const auto& [address, json] : moduleRows_) {
            if (!all && changedModules_.count(address) == 0) continue;
            if (!first) out += ',';
            out += json;
            first = false;
        }
        out += "]";
    }
    if (all || !changedSeen_.empty()) {
        out += ",\"moduleSeen\":{";
        bool first = true;
        for (const auto& [address, seen] : lastSeen_) {
            if (!all && changedSeen_.count(address) == 0) continue;
            if (!first) out += ',';
            out += "\"" + std::to_string(address) + "\":" + std::to_string(seen);
            first = false;
        }
        out += "}";
    }
    if (!all && !goneModules_.empty()) {
        out += ",\"modulesGone\":[";
        for (auto it = goneModules_.begin(); it != goneModules_.end(); ++it) {
            if (it != goneModules_.begin()) out += ',';
            out += std::to_string(*it);
        }
        out += "]";
    }
    const std::int64_t now = wallSeconds_ ? wallSeconds_() : static_cast<std::int64_t>(std::time(nullptr));
    return out + ",\"now\":" + std::to_string(now);
}

std::string WebMonitor::lastEventId() const { return instance_ + "-" + std::to_string(sequence_); }

std::string WebMonitor::linesJson(std::int64_t afterBatch, std::int64_t upToBatch) const {
    // Oldest first, so the page inserts each at the top in turn, as the window did.
    std::string out = "[";
    bool first = true;
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
        if (it->batch <= afterBatch || it->batch > upToBatch) continue;
        if (!first) out += ',';
        out += it->json;
        first = false;
    }
    return out + "]";
}

std::string WebMonitor::stateJson(bool withClients, bool withStats, bool withStatus) const {
    std::string out;
    if (withClients) {
        out += ",\"clients\":[";
        for (auto it = clientRows_.rbegin(); it != clientRows_.rend(); ++it) {
            if (it != clientRows_.rbegin()) out += ',';
            out += it->second;
        }
        out += "],\"moreEnded\":" + std::to_string(moreEnded_);
    }
    if (withStats) {
        out += ",\"stats\":{\"rx\":" + jsonLatin9(rxRate_) + ",\"tx\":" + jsonLatin9(txRate_) +
               ",\"rxBars\":" + barsJson(rxBars_) + ",\"txBars\":" + barsJson(txBars_) +
               ",\"uptime\":" + jsonLatin9(uptime_) + ",\"clock\":" + jsonLatin9(clock_) + "}";
    }
    if (withStatus) {
        out += ",\"status\":{\"version\":" + jsonLatin9(status_.version) +
               ",\"device\":" + jsonLatin9(status_.device) +
               ",\"serialUp\":" + (status_.serialUp ? "true" : "false") +
               ",\"busOff\":" + (status_.busOff ? "true" : "false") +
               ",\"writesHeld\":" + (status_.writesHeld ? "true" : "false") + ",\"listening\":[";
        for (std::size_t i = 0; i < status_.listening.size(); ++i) {
            if (i > 0) out += ',';
            out += jsonLatin9(status_.listening[i]);
        }
        out += std::string("],\"capture\":") + (status_.capture ? "true" : "false") + "}";
    }
    return out;
}

std::string WebMonitor::clientChangesJson() const {
    // Oldest first, so that the page puts each new row at the top in turn.
    std::string out = ",\"clientChanges\":[";
    for (auto it = changedRows_.begin(); it != changedRows_.end(); ++it) {
        if (it != changedRows_.begin()) out += ',';
        out += it->second ? "{\"row\":" + *it->second + "}"
                          : "{\"gone\":" + std::to_string(it->first) + "}";
    }
    return out + "],\"moreEnded\":" + std::to_string(moreEnded_);
}

std::string WebMonitor::takeBatch() {
    ++sequence_;
    // The whole list only after it was emptied; else the rows that changed.
    const std::string clients = !clientsChanged_ ? std::string()
                                : rowsReset_     ? stateJson(true, false, false)
                                                 : clientChangesJson();
    const std::string data = "{\"lines\":" + linesJson(sequence_ - 1, sequence_) + clients +
                             (changedModules_.empty() && changedSeen_.empty() && goneModules_.empty()
                                  ? std::string()
                                  : modulesJson(false)) +
                             stateJson(false, statsChanged_, statusChanged_) + "}";
    changedModules_.clear();
    changedSeen_.clear();
    goneModules_.clear();
    pendingLines_ = 0;
    clientsChanged_ = statsChanged_ = statusChanged_ = rowsReset_ = false;
    changedRows_.clear();
    return sseEvent(lastEventId(), "batch", data);
}

bool WebMonitor::resumes(const std::string& lastEventIdSeen) const {
    // An id of this run that is not ahead of it.
    const std::int64_t seen = eventSequence(lastEventIdSeen, instance_);
    return seen >= 0 && seen <= sequence_;
}

std::string WebMonitor::snapshotEvent(const std::string& lastEventIdSeen) const {
    // Resuming: only what came after that event; else everything held.
    const bool resume = resumes(lastEventIdSeen);
    const std::int64_t seen = resume ? eventSequence(lastEventIdSeen, instance_) : -1;
    const std::string data = std::string("{\"reset\":") + (resume ? "false" : "true") +
                             ",\"lines\":" + linesJson(resume ? seen : -1, sequence_) +
                             modulesJson(true) + stateJson(true, true, true) + "}";
    // A quick reconnect after a drop, then the held state.
    return "retry: 2000\n" + sseEvent(lastEventId(), "snapshot", data);
}

}  // namespace tessel
