#include "protocol/decoder.h"

#include <bit>

namespace tessel {

namespace {

const std::string kDegree = "\xB0";
const std::string kNumberSign = "N\xB0";

std::string bitString(std::uint8_t value, int count) {
    std::string bits;
    for (int ch = count; ch >= 1; --ch) bits += (value >> (ch - 1)) & 1 ? '1' : '0';
    return bits;
}

std::string twoDigits(std::uint8_t v) {
    std::string s = std::to_string(v);
    if (s.size() < 2) return "0" + s;
    return s.substr(0, 2);
}

std::string temperature(std::uint8_t v) {
    return std::to_string(v / 2) + (v % 2 ? ".5" : ".0");
}

char nameChar(std::uint8_t b) { return (b >= 0x20 && b <= 0xFE) ? static_cast<char>(b) : ' '; }

class Args {
public:
    explicit Args(ByteRun run) : run_(run) {}
    // Data byte k (1-based) at offset 3 + k; past the run it reads as 0.
    std::uint8_t d(int k) const {
        const std::size_t at = static_cast<std::size_t>(3 + k);
        return at < run_.size() ? run_[at] : 0;
    }
    std::string names(int first, int last) const {
        std::string s;
        for (int k = first; k <= last; ++k) s += nameChar(d(k));
        return s;
    }

private:
    ByteRun run_;
};

std::string pushButtonText(const Args& a) {
    std::string text;
    if (a.d(2) != 0) {
        text = "(Push: Btn " + channelText(a.d(2), 8, ChannelStyle::Compact) + " Pressed)";
    } else if (a.d(3) != 0) {
        text = "(Push: Btn " + channelText(a.d(3), 8, ChannelStyle::Compact) + " released)";
    } else {
        text = "(Push: Btn " + channelText(a.d(4), 8, ChannelStyle::Compact) + " Maintained)";
    }
    if (text.find('9') != std::string::npos) return "(Temp out Status)";
    return text;
}

std::string commandText(std::uint8_t cmd, const Args& a, const std::string& address) {
    using S = ChannelStyle;
    switch (cmd) {
        case 0x00: return pushButtonText(a);
        case 0x01: return "(RelOff " + channelText(a.d(2), 8, S::Verbose) + ")";
        case 0x02: return "(RelOn " + channelText(a.d(2), 8, S::Verbose) + ")";
        case 0x03: return "(RelTmr " + channelText(a.d(2), 8, S::Verbose) + ")";
        case 0x04: case 0x05: return "(Blind)";
        case 0x07: return "(DimSet:" + std::to_string(a.d(3)) + "%)";
        case 0x0C: return "(Mod. Type)";
        case 0x0F: return "(Slider:" + std::to_string(a.d(3)) + "%)";
        case 0xC9: case 0xCA: case 0xCB: case 0xCC: return "(Mem RW)";
        case 0xD0: case 0xD1: case 0xD2: case 0xD3: case 0xD4: case 0xD5: return "(LCD/BT)";
        case 0xD7: return "(Clock Req.)";
        case 0xD8: return "(Clock " + twoDigits(a.d(3)) + ":" + twoDigits(a.d(4)) + ")";
        case 0xD9: return "(CountErr Req.)";
        case 0xDA:
            return "(CntErr TX:" + std::to_string(a.d(2)) + " RX:" + std::to_string(a.d(3)) +
                   "BusOff:" + std::to_string(a.d(4)) + ")";
        case 0xE4: case 0xE8: case 0xE9: return "(Temp: funct.)";
        case 0xE5: return "(Temp: Req.)";
        case 0xE6: return "(Temp: " + temperature(a.d(2)) + kDegree + "C)";
        case 0xEA: return "(Temp: Status)";
        case 0xEC: case 0xFA: case 0xFB: case 0xFF:
            return "(Status-Relay " + channelText(a.d(2), 4, S::Compact) +
                   " ON:" + channelMap(a.d(4), 4) +
                   " Blk:" + channelMap(static_cast<std::uint8_t>(a.d(4) >> 4), 4) + ")";
        case 0xED:
            return "(Status-Inp:" + channelText(a.d(2), 8, S::Bits) +
                   " Led:" + channelText(a.d(3), 8, S::Bits) + ")";
        case 0xEE: return "(Status-Dimmer " + std::to_string(a.d(3)) + "%)";
        case 0xEF: return "(Name [Req.])";
        case 0xF0: case 0xF1: return "(Name [" + a.names(2, 8) + "])";
        case 0xF2: return "(Name [" + a.names(2, 6) + "])";
        case 0xF5: return "(Led:Off  " + channelText(a.d(2), 8, S::Bits) + ")";
        case 0xF6: return "(Led:On  " + channelText(a.d(2), 8, S::Bits) + ")";
        case 0xF4: case 0xF7: case 0xF8: case 0xF9:
            return "(Led:Blink  " + channelText(a.d(2), 8, S::Bits) + ")";
        case 0xFD: case 0xFE: return "(Mem R/W " + address + ")";
        default: return "";
    }
}

}  // namespace

std::string channelText(std::uint8_t value, int count, ChannelStyle style) {
    const std::uint8_t mask = static_cast<std::uint8_t>((1u << count) - 1u);
    const std::uint8_t inRange = value & mask;
    const int setCount = std::popcount(inRange);
    const int highest = static_cast<int>(std::bit_width(inRange));
    const std::string bits = bitString(value, count);
    switch (style) {
        case ChannelStyle::Compact:
            return setCount >= 2 ? std::to_string(value) : kNumberSign + std::to_string(highest);
        case ChannelStyle::Bits:
            return "%" + bits;
        case ChannelStyle::Verbose:
            if (setCount >= 2) return std::to_string(value) + " (^" + bits + "v)";
            return kNumberSign + std::to_string(highest) + " (" + bits + ")";
    }
    return "";
}

std::string channelMap(std::uint8_t value, int count) {
    std::string out;
    for (int ch = count; ch >= 1; --ch) {
        out += (value >> (ch - 1)) & 1 ? std::to_string(ch) : "-";
    }
    return out;
}

std::string decodeMessage(std::string_view sourceTag, ByteRun frame, std::int64_t /*length*/) {
    const Args args(frame);
    const std::string address = addressText(args.d(-1));
    const std::string text = frame.size() > 4 ? commandText(args.d(1), args, address) : "";
    if (sourceTag == "IP") return address + " " + text;
    return text;
}

}  // namespace tessel
