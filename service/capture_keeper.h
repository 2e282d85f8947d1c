// The service's capture: what the pass hands on (both directions, sound or not) and the events
// a reader of traffic needs, kept in the ring for /capture and, with --capture-file, written to
// disk as it comes.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_file.h"
#include "capture/capture_ring.h"
#include "platform/deadline.h"
#include "protocol/received_frame.h"

namespace tessel {

struct CaptureSettings {
    std::size_t memoryBytes = kDefaultCaptureMemory;
    std::string filePath;  // empty: memory only
    std::uint64_t fileSize = kDefaultCaptureFileSize;
};

// A moment as the capture writes it: the host's clock and the monotonic one, in microseconds.
struct CaptureTime {
    std::int64_t wallMicros = 0;
    std::int64_t monoMicros = 0;
};

class CaptureKeeper {
public:
    CaptureKeeper(CaptureSettings settings, CaptureHeader header, CaptureFile::Say say);

    // Opens the file, when there is one (a warning and memory only when it cannot be written).
    void start(std::int64_t nowMillis);
    void clientJoined(std::int64_t clientId, const std::string& name, CaptureTime at, std::int64_t nowMillis);
    void clientLeft(std::int64_t clientId, CaptureTime at, std::int64_t nowMillis);
    // A pass's records: runs from clients (or the service's own frames) and frames from the bus.
    void framesPassed(const FrameQueue& clientRuns, const FrameQueue& busFrames, CaptureTime at,
                      std::int64_t nowMillis);
    // The bus's bytes that were no frame.
    void busNoise(const std::vector<Bytes>& runs, CaptureTime at, std::int64_t nowMillis);
    // Something of the service's, concerning `source` (kBusSource unless a client's).
    void event(const std::string& text, CaptureTime at, std::int64_t nowMillis, std::int64_t source = kBusSource);
    // When the capture file has something to do (see CaptureFile::deadline).
    Deadline deadline() const;
    void tick(std::int64_t nowMillis);
    void stop(CaptureTime at, std::int64_t nowMillis);
    // The capture file opened again (SIGHUP, for log rotation); its path, or empty without one.
    std::string reopenFile(std::int64_t nowMillis);

    // The capture as a download, from `sinceWallMicros` on.
    std::unique_ptr<CaptureText> download(std::int64_t sinceWallMicros) const;
    const CaptureRing& ring() const { return ring_; }
    std::string fileName(std::int64_t wallSeconds) const;

private:
    void add(CaptureTime at, CaptureDirection direction, std::int64_t source, ByteRun bytes, std::string_view text,
             std::int64_t nowMillis);

    CaptureRing ring_;
    CaptureHeader header_;
    std::optional<CaptureFile> file_;
};

// The clock's readings for a record.
CaptureTime captureTimeNow(std::int64_t startMonoMicros);
std::int64_t monotonicMicros();

}  // namespace tessel
