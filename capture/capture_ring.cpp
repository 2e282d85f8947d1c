#include "capture/capture_ring.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

namespace tessel {

namespace {

// A record's first byte: its direction, and whether the wall clock's offset and an original
// length follow.
constexpr std::uint8_t kDirectionMask = 0x03;
constexpr std::uint8_t kHasOffset = 0x04;
constexpr std::uint8_t kCut = 0x08;
// The wall clock is written again when it moved this far from the monotonic one (a step of
// the host's clock, or its slow correction).
constexpr std::int64_t kOffsetSlackMicros = 1000;

void putNumber(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint64_t zigzag(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::int64_t unzigzag(std::uint64_t v) { return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1); }

}  // namespace

CaptureRing::CaptureRing(std::size_t capacityBytes) : buffer_(std::max(capacityBytes, kMinimumCaptureMemory)) {}

void CaptureRing::nameClient(std::int64_t clientId, std::string name) {
    names_[clientSource(clientId)] = std::move(name);
    while (names_.size() > kCaptureNames) names_.erase(names_.begin());
}

std::string CaptureRing::sourceName(std::int64_t source) const {
    if (source == kBusSource) return "bus";
    if (source == kServiceSource) return "tessel-serverd";
    const auto it = names_.find(source);
    return it != names_.end() ? it->second : "client " + std::to_string(source - 2);
}

void CaptureRing::add(std::int64_t wallMicros, std::int64_t monoMicros, CaptureDirection direction,
                      std::int64_t source, ByteRun bytes, std::string_view text) {
    const ByteRun payload = direction == CaptureDirection::Event
                                ? ByteRun(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())
                                : bytes;
    const std::size_t kept = std::min(payload.size(), kCaptureRunBytes);
    thread_local std::vector<std::uint8_t> record;
    record.clear();
    const std::int64_t offset = wallMicros - monoMicros;
    const bool first = records_ == 0;
    if (first) lastMono_ = baseMono_ = monoMicros;
    const bool withOffset = first || std::llabs(offset - lastOffset_) > kOffsetSlackMicros;
    const bool cut = kept != payload.size();
    record.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(direction) | (withOffset ? kHasOffset : 0) |
                                               (cut ? kCut : 0)));
    putNumber(record, static_cast<std::uint64_t>(std::max<std::int64_t>(monoMicros - lastMono_, 0)));
    if (withOffset) putNumber(record, zigzag(offset));
    putNumber(record, static_cast<std::uint64_t>(source));
    putNumber(record, kept);
    record.insert(record.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(kept));
    if (cut) putNumber(record, payload.size());
    if (record.size() > buffer_.size()) return;

    while (buffer_.size() - used_ < record.size()) dropOldest();
    if (first) {
        baseMono_ = monoMicros;
        baseOffset_ = offset;
    }
    std::size_t at = (head_ + used_) % buffer_.size();
    for (const std::uint8_t b : record) {
        buffer_[at] = b;
        if (++at == buffer_.size()) at = 0;
    }
    used_ += record.size();
    ++records_;
    lastMono_ = std::max(lastMono_, monoMicros);
    if (withOffset) lastOffset_ = offset;
}

CaptureRing::Decoded CaptureRing::decodeAt(std::size_t at) const {
    Decoded d;
    std::size_t n = 0;
    auto number = [&] {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = byteAt(at + n++);
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) break;
        }
        return value;
    };
    const std::uint8_t flags = byteAt(at + n++);
    d.direction = static_cast<CaptureDirection>(flags & kDirectionMask);
    d.monoStep = static_cast<std::int64_t>(number());
    d.hasOffset = (flags & kHasOffset) != 0;
    if (d.hasOffset) d.offset = unzigzag(number());
    d.source = static_cast<std::int64_t>(number());
    d.byteCount = number();
    d.bytesAt = at + n;
    n += d.byteCount;
    d.fullLength = (flags & kCut) != 0 ? number() : d.byteCount;
    d.size = n;
    return d;
}

void CaptureRing::dropOldest() {
    const Decoded d = decodeAt(head_);
    baseMono_ += d.monoStep;
    if (d.hasOffset) baseOffset_ = d.offset;
    head_ = (head_ + d.size) % buffer_.size();
    used_ -= d.size;
    --records_;
    ++givenUp_;
    // The next record's step is from the one dropped; when it carries no offset of its own, the
    // dropped one's (now the base) holds.
}

CaptureRing::Reader::Reader(const CaptureRing& ring)
    : ring_(ring),
      number_(ring.givenUp_),
      end_(ring.givenUp_ + static_cast<std::int64_t>(ring.records_)),
      at_(ring.head_),
      mono_(ring.baseMono_),
      offset_(ring.baseOffset_) {}

std::int64_t CaptureRing::Reader::takeMissed() { return std::exchange(missed_, 0); }

bool CaptureRing::Reader::next(CaptureRecord& r) {
    if (number_ < ring_.givenUp_) {
        // Overwritten since the last read: on from the oldest kept, with its times.
        missed_ += std::min(ring_.givenUp_, end_) - number_;
        number_ = ring_.givenUp_;
        at_ = ring_.head_;
        mono_ = ring_.baseMono_;
        offset_ = ring_.baseOffset_;
    }
    if (number_ >= end_) return false;
    const Decoded d = ring_.decodeAt(at_);
    mono_ += d.monoStep;
    if (d.hasOffset) offset_ = d.offset;
    r.monoMicros = mono_;
    r.wallMicros = mono_ + offset_;
    r.direction = d.direction;
    r.source = ring_.sourceName(d.source);
    std::vector<std::uint8_t> payload(d.byteCount);
    for (std::size_t i = 0; i < d.byteCount; ++i) payload[i] = ring_.byteAt(d.bytesAt + i);
    if (d.direction == CaptureDirection::Event) {
        r.bytes.clear();
        r.text.assign(payload.begin(), payload.end());
    } else {
        r.text = captureFrameText(payload);
        if (d.fullLength != d.byteCount) {
            r.text = "(" + std::to_string(d.fullLength) + " bytes, the first " + std::to_string(d.byteCount) + " kept)";
        }
        r.bytes = std::move(payload);
    }
    at_ = (at_ + d.size) % ring_.buffer_.size();
    ++number_;
    return true;
}

CaptureText::CaptureText(const CaptureRing& ring, CaptureHeader header, std::int64_t sinceWallMicros)
    : reader_(ring), since_(sinceWallMicros), pending_(captureHeaderText(header)) {}

std::size_t CaptureText::read(char* out, std::size_t max) {
    CaptureRecord record;
    while (pending_.size() - taken_ < max && !done_) {
        if (taken_ > 0) {
            pending_.erase(0, taken_);
            taken_ = 0;
        }
        const bool more = reader_.next(record);
        if (const std::int64_t missed = reader_.takeMissed(); missed > 0) {
            CaptureRecord gap{more ? record.wallMicros : reader_.wallMicros(), more ? record.monoMicros : reader_.monoMicros(),
                              CaptureDirection::Event,
                              "tessel-serverd", {},
                              std::to_string(missed) + (missed == 1 ? " record" : " records") +
                                  " given up by the ring before this download came to them"};
            if (!more || record.wallMicros >= since_) appendCaptureLine(pending_, gap);
        }
        if (!more) {
            done_ = true;
            break;
        }
        if (record.wallMicros >= since_) appendCaptureLine(pending_, record);
    }
    const std::size_t n = std::min(max, pending_.size() - taken_);
    std::copy_n(pending_.data() + taken_, n, out);
    taken_ += n;
    return n;
}

}  // namespace tessel
