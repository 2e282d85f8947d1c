// Properties both receive sides must keep, whatever the bytes and however they are split.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "protocol/extractor.h"

namespace tessel::fuzz {

inline void require(bool condition) {
    if (!condition) std::abort();
}

// The first byte chooses the read sizes; the rest is the stream.
inline void checkExtraction(FrameExtractor::Side side, const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const unsigned seed = data[0];
    const ByteRun stream(data + 1, size - 1);

    FrameExtractor whole(side);
    std::vector<ExtractedRun> wholeRuns;
    whole.feed(stream, 0, wholeRuns);
    whole.finish(wholeRuns);

    FrameExtractor pieces(side);
    std::vector<ExtractedRun> pieceRuns;
    std::size_t at = 0;
    unsigned step = seed;
    while (at < stream.size()) {
        step = step * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(1 + (step >> 16) % 23, stream.size() - at);
        pieces.feed(stream.subspan(at, n), static_cast<std::int64_t>(at), pieceRuns);
        at += n;
    }
    pieces.finish(pieceRuns);

    auto frames = [](const std::vector<ExtractedRun>& runs) {
        std::vector<Bytes> out;
        for (const auto& r : runs) {
            if (r.wellFormed) out.push_back(r.bytes);
        }
        return out;
    };
    require(frames(wholeRuns) == frames(pieceRuns));

    std::size_t total = 0;
    for (const auto& r : wholeRuns) {
        require(!r.bytes.empty() && r.bytes[0] == kStartByte);
        total += r.bytes.size();
        if (r.wellFormed) {
            require(r.bytes.size() == static_cast<std::size_t>(frameTotalLength(r.bytes[3])));
            require(r.bytes.back() == kEndByte);
        }
        if (side == FrameExtractor::Side::Bus) require(r.wellFormed);
    }
    require(total <= stream.size());
}

}  // namespace tessel::fuzz
