// The frame monitor: one line per run that entered the bridge, newest at the top, at most 500.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "net/client_table.h"
#include "protocol/received_frame.h"

namespace tessel {

constexpr int kMonitorLineLimit = 500;

// Numbered as the images that show them.
enum class MonitorIcon { ClientError = 0, ClientFrame = 1, BusError = 2, BusFrame = 3 };

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

constexpr Rgb kErrorRed{200, 50, 50};
constexpr Rgb kClientBlue{50, 50, 200};
constexpr Rgb kLowPriorityGreen{20, 150, 20};
constexpr Rgb kBusYellowGreen{150, 190, 30};

enum MonitorColumn { kTimeColumn = 0, kHexColumn, kLengthColumn, kChecksumColumn, kSourceColumn };

struct MonitorLine {
    MonitorIcon icon = MonitorIcon::BusFrame;
    Rgb colour;
    std::array<std::string, 5> cells;  // Time, Frame Hex Code, Len, CSum, Source
};

// The monitor list as the monitor sees it; the window implements it with a list control.
class MonitorList {
public:
    virtual ~MonitorList() = default;
    virtual void insertTop(const MonitorLine& line) = 0;
    virtual int lineCount() const = 0;
    virtual void removeLine(int index) = 0;
    // Columns 1 to 5 as 0 to 4; an empty text for a cell that does not exist.
    virtual std::string readCell(int line, int column) const = 0;
    virtual void clear() = 0;
};

struct MonitorFilter {
    bool filterOn = false;  // the "Filter" toggle
    bool invert = false;    // the "!" toggle
    std::string text;
};

bool filterPasses(const MonitorFilter& filter, const std::string& hexText);

// A line as the log file holds it: the five texts joined by TABs, ended by a line feed.
std::string logLineText(const std::array<std::string, 5>& cells);

MonitorLine busMonitorLine(const ReceivedFrame& record, DateValue now);
MonitorLine clientMonitorLine(const ReceivedFrame& record, const ClientTable& table,
                              DateValue now);

// Lists the records added to the queues in this pass, bus frames first, each at the top.
// Returns the line count label's text.
std::string updateMonitor(MonitorList& list, const MonitorFilter& filter, const FrameQueue& toBus,
                          const FrameQueue& toClients, const ClientTable& table,
                          std::int64_t toBusSizeBefore, std::int64_t clientRuns,
                          std::int64_t toClientsSizeBefore, std::int64_t busFrames,
                          DateValue now);

}  // namespace tessel
