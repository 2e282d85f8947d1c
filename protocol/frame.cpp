#include "protocol/frame.h"

#include "protocol/commands.h"

namespace tessel {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

void appendHexByte(std::string& out, std::uint8_t b) {
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
}
}  // namespace

int frameTotalLength(std::uint8_t lengthByte) { return (lengthByte & 0x0F) + 6; }

std::uint8_t frameChecksum(ByteRun run, std::int64_t lastIndex) {
    unsigned sum = 0;
    for (std::int64_t i = 0; i <= lastIndex && static_cast<std::size_t>(i) < run.size(); ++i) {
        sum += run[static_cast<std::size_t>(i)];
    }
    return static_cast<std::uint8_t>(-sum);
}

std::string frameHexText(ByteRun run, std::size_t count) {
    if (count > run.size()) count = run.size();
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) appendHexByte(out, run[i]);
    return out;
}

std::string addressText(std::uint8_t address) {
    std::string out = "$";
    appendHexByte(out, address);
    return out;
}

std::string lengthText(std::int64_t length) { return std::to_string(length); }

ChecksumPair checksumPair(ByteRun run) {
    const auto length = static_cast<std::int64_t>(run.size());
    ChecksumPair pair;
    pair.computed = frameChecksum(run, length - 3);
    if (length >= 2) pair.carried = run[run.size() - 2];
    return pair;
}

std::string checksumPairText(ByteRun run) {
    const ChecksumPair pair = checksumPair(run);
    std::string out;
    appendHexByte(out, pair.computed);
    out += '/';
    if (pair.carried) {
        appendHexByte(out, *pair.carried);
    } else {
        out += "--";
    }
    return out;
}

Recognition recognizeFrame(ByteRun bytes, std::size_t start) {
    // A start byte too close to the end to show its length byte cannot be decided yet either.
    if (start + 3 >= bytes.size()) return {Recognition::Kind::Undecided};
    const std::size_t length = static_cast<std::size_t>(frameTotalLength(bytes[start + 3]));
    const std::size_t end = start + length - 1;
    if (end >= bytes.size()) return {Recognition::Kind::Undecided};
    if (bytes[end] != kEndByte) return {Recognition::Kind::NotFrame};
    return {Recognition::Kind::Frame, length};
}

InterfaceSignal interfaceSignal(ByteRun f) {
    if (f.size() != 7 || f[0] != kStartByte || f[2] != 0x00 || f[3] != 0x01 || f[6] != kEndByte ||
        !checksumPair(f).agrees()) {
        return InterfaceSignal::None;
    }
    switch (f[4]) {
        case kBusOff: return InterfaceSignal::BusOff;
        case kBusActive: return InterfaceSignal::BusActive;
        case kBufferFull: return InterfaceSignal::BufferFull;
        case kBufferReady: return InterfaceSignal::ReceiveReady;
        default: return InterfaceSignal::None;
    }
}

Bytes makeFrame(std::uint8_t priority, std::uint8_t address, ByteRun data, bool rtr) {
    // Sized once and filled in place: GCC 12 misreads an insert here, and GCC 14 (at -O3, for
    // armhf) a vector that grows.
    const std::size_t n = data.size();
    Bytes f(n + 6);
    f[0] = kStartByte;
    f[1] = priority;
    f[2] = address;
    f[3] = static_cast<std::uint8_t>((rtr ? 0x40 : 0x00) | (n & 0x0F));
    for (std::size_t i = 0; i < n; ++i) f[4 + i] = data[i];
    f[n + 4] = frameChecksum(f, static_cast<std::int64_t>(n) + 3);
    f[n + 5] = kEndByte;
    return f;
}

}  // namespace tessel
