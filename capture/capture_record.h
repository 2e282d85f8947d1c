// One line of a capture: a run of bytes in either direction, or an event of the service, with
// its time. A capture is plain text, one record per line, so that a user can read it in an
// editor and a developer with a ten-line script:
//
//   # tessel-serverd capture 1<TAB>host=kitchen<TAB>device=/dev/ttyACM0<TAB>version=3.08
//   # time<TAB>monotonic<TAB>direction<TAB>source<TAB>bytes<TAB>text
//   2026-12-09T21:04:05.123456Z<TAB>12.345678<TAB>from-bus<TAB>bus<TAB>0F FB 10 ...<TAB>$10 ...
//
// Fields are separated by TABs and never hold one; texts are UTF-8.
#pragma once
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame.h"

namespace tessel {

constexpr int kCaptureFormatVersion = 1;

enum class CaptureDirection : std::uint8_t {
    FromBus = 0,  // read from the interface, for every client
    ToBus = 1,    // from a client (or the service itself), for the bus
    Event = 2,    // something of the service's: a client came or went, the device, the hold
};

struct CaptureRecord {
    std::int64_t wallMicros = 0;  // the host's clock, microseconds since 1970 (UTC)
    std::int64_t monoMicros = 0;  // since the service started, on a clock that never steps
    CaptureDirection direction = CaptureDirection::FromBus;
    std::string source;  // "bus", "tessel-serverd", or a client "127.0.0.1:50312 on 0.0.0.0:8080 (plain)"
    Bytes bytes;         // as they came; empty for an event
    std::string text;    // the decoder's words for a sound frame, the event's words, or empty
    bool operator==(const CaptureRecord&) const = default;
};

struct CaptureHeader {
    int version = kCaptureFormatVersion;
    std::string host, device, serviceVersion;
    bool operator==(const CaptureHeader&) const = default;
};

// The two lines a capture (and every run appended to a capture file) starts with.
std::string captureHeaderText(const CaptureHeader& header);
// One record's line, ended by a line feed.
std::string captureLine(const CaptureRecord& record);
void appendCaptureLine(std::string& out, const CaptureRecord& record);
// What a frame's text field says: the decoder's words in UTF-8 for a sound frame, else nothing.
std::string captureFrameText(ByteRun bytes);

// A line without its line feed, read back; nothing for a comment or a line that is not one.
std::optional<CaptureRecord> readCaptureLine(std::string_view line);
// "# tessel-serverd capture N..." read back; nothing for any other line.
std::optional<CaptureHeader> readCaptureHeader(std::string_view line);

struct CaptureContents {
    std::vector<CaptureHeader> headers;  // one per run of the service the capture holds
    std::vector<CaptureRecord> records;
    std::vector<std::size_t> runOf;      // for each record, its header's index
    std::size_t badLines = 0;            // lines that are neither a record nor a comment
    bool tornLast = false;               // the last line had no line feed (a write cut short)
    std::string error;                   // set: not a capture, or of a newer format
};

// A whole capture. A last line without its line feed is left out: a power cut can cut the
// last write short, and half a record must not pass for a whole one.
CaptureContents readCapture(std::istream& in);

}  // namespace tessel
