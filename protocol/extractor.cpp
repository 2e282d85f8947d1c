#include "protocol/extractor.h"

namespace tessel {

void FrameExtractor::feed(ByteRun bytes, std::int64_t nowMillis, std::vector<ExtractedRun>& out) {
    if (bytes.empty()) return;
    lastFeedMillis_ = nowMillis;
    if (kept_.empty()) {
        scan(bytes, false, out);
        return;
    }
    Bytes joined;
    joined.reserve(kept_.size() + bytes.size());
    joined.insert(joined.end(), kept_.begin(), kept_.end());
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    kept_.clear();
    scan(joined, false, out);
}

void FrameExtractor::finish(std::vector<ExtractedRun>& out) {
    if (kept_.empty()) return;
    Bytes pending;
    pending.swap(kept_);
    scan(pending, true, out);
}

void FrameExtractor::scan(ByteRun bytes, bool final, std::vector<ExtractedRun>& out) {
    const std::size_t m = bytes.size();
    std::size_t p = 0;
    while (p < m) {
        if (bytes[p] != kStartByte) {
            if (side_ == Side::Bus) passOver(bytes[p]);
            ++p;
            continue;
        }
        const Recognition r = recognizeFrame(bytes, p);
        if (r.kind == Recognition::Kind::Undecided && !final) {
            endNoise();
            kept_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(p), bytes.end());
            return;
        }
        if (r.kind == Recognition::Kind::Frame) {
            endNoise();
            out.push_back({Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(p),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(p + r.length)),
                           true});
            p += r.length;
            continue;
        }
        if (side_ == Side::Bus) {
            passOver(bytes[p]);
            ++p;
            continue;
        }
        std::size_t q = p + 1;
        while (q < m && bytes[q] != kStartByte) ++q;
        out.push_back({Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(p),
                             bytes.begin() + static_cast<std::ptrdiff_t>(q)),
                       false});
        p = q;
    }
    endNoise();
}

}  // namespace tessel
