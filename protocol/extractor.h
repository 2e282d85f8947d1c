// Cuts a byte stream into frames (bus side) or runs (client side). A start byte whose frame
// would end beyond the bytes seen so far is kept and decided when more bytes come, so a frame
// split across reads is found exactly as if the stream had been read in one piece.
#pragma once
#include <cstdint>
#include <vector>

#include "protocol/frame.h"

namespace tessel {

struct ExtractedRun {
    Bytes bytes;
    bool wellFormed = false;
};

class FrameExtractor {
public:
    enum class Side {
        Bus,     // only recognised frames come out; other bytes are passed over
        Client,  // every start byte begins a run; runs that are not frames come out unmarked
    };

    explicit FrameExtractor(Side side) : side_(side) {}

    // Scans the kept bytes followed by `bytes`; decided runs are appended to `out`.
    void feed(ByteRun bytes, std::int64_t nowMillis, std::vector<ExtractedRun>& out);
    // Decides the kept bytes as if the stream had ended there.
    void finish(std::vector<ExtractedRun>& out);
    // True when bytes are kept and none came for more than `quietMillis`.
    bool expired(std::int64_t nowMillis, std::int64_t quietMillis) const {
        return !kept_.empty() && nowMillis - lastFeedMillis_ > quietMillis;
    }
    bool hasKept() const { return !kept_.empty(); }
    // Bus side: when asked to, the bytes passed over (noise on the line, a frame cut short) are
    // kept as runs of consecutive bytes until taken.
    void keepPassedOver(bool keep) { keepPassedOver_ = keep; }
    std::vector<Bytes>& passedOver() { return passedOver_; }
    std::int64_t lastFeedMillis() const { return lastFeedMillis_; }
    void clear() { kept_.clear(); }

private:
    void scan(ByteRun bytes, bool final, std::vector<ExtractedRun>& out);

    void passOver(std::uint8_t byte) {
        if (keepPassedOver_) noise_.push_back(byte);
    }
    void endNoise() {
        if (noise_.empty()) return;
        passedOver_.push_back(std::move(noise_));
        noise_.clear();
    }

    Side side_;
    Bytes kept_;
    bool keepPassedOver_ = false;
    Bytes noise_;
    std::vector<Bytes> passedOver_;
    std::int64_t lastFeedMillis_ = 0;
};

}  // namespace tessel
