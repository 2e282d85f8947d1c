// The recent traffic in memory: every record in a ring of bytes of a fixed size, the oldest
// given up first. Records are kept packed (a time step, a source number, the bytes) and only
// made into text when the capture is read, so 4 MiB hold about 200,000 frames.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_record.h"

namespace tessel {

constexpr std::size_t kDefaultCaptureMemory = 4 * 1024 * 1024;
constexpr std::size_t kMinimumCaptureMemory = 64 * 1024;
// A run longer than this (only a client's bytes that are not frames can be) keeps its first
// bytes and says how long it was: one stream of garbage must not push out the evening.
constexpr std::size_t kCaptureRunBytes = 1024;
// Client names are kept for the newest this many clients (ids only grow); a record of an older
// one still in the ring names it by its number.
constexpr std::size_t kCaptureNames = 4096;

// Sources: the bus, the service's own frames, and each client by its id.
constexpr std::int64_t kBusSource = 0;
constexpr std::int64_t kServiceSource = 1;
inline std::int64_t clientSource(std::int64_t clientId) { return clientId + 2; }

class CaptureRing {
public:
    explicit CaptureRing(std::size_t capacityBytes = kDefaultCaptureMemory);

    void nameClient(std::int64_t clientId, std::string name);
    // A run (from the bus or for it) or an event (its words as `text`, no bytes).
    void add(std::int64_t wallMicros, std::int64_t monoMicros, CaptureDirection direction, std::int64_t source,
             ByteRun bytes, std::string_view text = {});

    std::size_t capacity() const { return buffer_.size(); }
    std::size_t usedBytes() const { return used_; }
    std::size_t recordCount() const { return records_; }
    std::int64_t givenUp() const { return givenUp_; }  // records pushed out by newer ones
    // "bus", "tessel-serverd", a client's name, or "client N" for one no longer named.
    std::string sourceName(std::int64_t source) const;

    // The records in order, oldest first, up to the newest when the reader was made. The ring
    // may go on between two reads: each record has its number, and a reader whose next record
    // was given up meanwhile goes on from the oldest still kept, counting those it missed.
    class Reader {
    public:
        explicit Reader(const CaptureRing& ring);
        bool next(CaptureRecord& record);
        // Records given up before this reader came to them, since the last call.
        std::int64_t takeMissed();
        // The times it stands at: of the record read last, or of the last one given up.
        std::int64_t monoMicros() const { return mono_; }
        std::int64_t wallMicros() const { return mono_ + offset_; }

    private:
        const CaptureRing& ring_;
        std::int64_t number_, end_;  // of the next record, and past the last to read
        std::size_t at_;
        std::int64_t mono_, offset_;
        std::int64_t missed_ = 0;
    };

private:
    friend class Reader;
    struct Decoded {
        std::size_t size = 0;
        CaptureDirection direction{};
        std::int64_t monoStep = 0;
        bool hasOffset = false;
        std::int64_t offset = 0;
        std::int64_t source = 0;
        std::size_t bytesAt = 0, byteCount = 0, fullLength = 0;
    };
    Decoded decodeAt(std::size_t at) const;
    std::uint8_t byteAt(std::size_t at) const { return buffer_[at % buffer_.size()]; }
    void dropOldest();

    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0, used_ = 0, records_ = 0;
    std::int64_t givenUp_ = 0;
    // What the record before the oldest left behind: its monotonic time and the wall clock's
    // offset from it, so the oldest record's step reads from there.
    std::int64_t baseMono_ = 0, baseOffset_ = 0;
    // The newest record's, for the next one's step.
    std::int64_t lastMono_ = 0, lastOffset_ = 0;
    std::map<std::int64_t, std::string> names_;
};

// A capture as text for a download: the header, then the ring's records from `sinceWallMicros`
// on, made a few at a time as the reader asks, straight from the ring (which must outlive it):
// a download holds no copy, so two slow ones of a large ring cost little memory. Records the
// ring gave up before the download came to them are said in an event line where they were.
class CaptureText {
public:
    CaptureText(const CaptureRing& ring, CaptureHeader header, std::int64_t sinceWallMicros);
    CaptureText(const CaptureText&) = delete;
    CaptureText& operator=(const CaptureText&) = delete;
    // Up to `max` bytes into `out`; 0 at the end.
    std::size_t read(char* out, std::size_t max);

private:
    CaptureRing::Reader reader_;
    std::int64_t since_;
    std::string pending_;
    std::size_t taken_ = 0;
    bool done_ = false;
};

}  // namespace tessel
