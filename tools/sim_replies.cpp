#include "tools/sim_replies.h"

#include <span>

#include "protocol/commands.h"

namespace tessel::sim {

namespace {


std::uint8_t high(unsigned v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }
std::uint8_t low(unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); }

bool relays(const Module& m) { return m.is(0x10) || m.is(0x11); }

// The type's full form: serial, memory map and build; the sensor names its zone first.
Bytes typeReply(const Module& m) {
    Bytes d{kModuleTypeReply, m.type->code};
    if (m.is(0x0C)) d.push_back(0x00);
    for (const std::uint8_t b : {high(m.serial), low(m.serial), m.type->memoryMap, m.type->buildYear, m.type->buildWeek}) {
        d.push_back(b);
    }
    return d;
}

bool numbered(const Module& m) { return m.type->info->naming == ChannelNaming::Number; }

// The channels a request names: bits of a mask, or one number; FF names every channel the
// module has, whatever its naming.
std::vector<int> channelsOf(const Module& m, std::uint8_t named) {
    std::vector<int> out;
    if (numbered(m) && named != kEveryChannel) {
        if (named >= 1 && named <= m.type->channels) out.push_back(named);
        return out;
    }
    if (named == kEveryChannel) {
        for (int ch = 1; ch <= m.type->channels; ++ch) out.push_back(ch);
        return out;
    }
    for (int ch = 1; ch <= m.type->channels; ++ch) {
        if (named & (1u << (ch - 1))) out.push_back(ch);
    }
    return out;
}

std::uint8_t channelByte(const Module& m, int ch) {
    return numbered(m) ? static_cast<std::uint8_t>(ch) : static_cast<std::uint8_t>(1u << (ch - 1));
}

// A channel's name from the module's memory, in its three parts.
void channelName(std::vector<Bytes>& out, const Module& m, int ch) {
    const std::array<std::uint8_t, 16> c = channelNameBytes(m, ch);
    const std::uint8_t b = channelByte(m, ch);
    out.push_back(moduleFrame(kLowPriority, m.address, {kChannelNamePart1, b, c[0], c[1], c[2], c[3], c[4], c[5]}));
    out.push_back(moduleFrame(kLowPriority, m.address, {kChannelNamePart2, b, c[6], c[7], c[8], c[9], c[10], c[11]}));
    out.push_back(moduleFrame(kLowPriority, m.address, {kChannelNamePart3, b, c[12], c[13], c[14], c[15]}));
}

// A configuration tool's write into the module's memory: its names change with it.
void writeMemory(Module& m, unsigned address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (address + i < kMemorySize) m.memory[address + i] = bytes[i];
    }
}

std::uint8_t memoryAt(const Module& m, unsigned address) {
    return address < kMemorySize ? m.memory[address] : 0xFF;
}

Bytes dimmerStatus(const Module& m) {
    const std::uint8_t level = m.states[0];
    return moduleFrame(kLowPriority, m.address, {kDimmerStatus, 0x01, 0x00, level, static_cast<std::uint8_t>(level ? 0x80 : 0), 0, 0, 0});
}

// 1/16 degree in the upper 11 bits of two bytes.
std::pair<std::uint8_t, std::uint8_t> sixteenths(int value) {
    const auto raw = static_cast<std::uint16_t>(value << 5);
    return {high(raw), low(raw)};
}

Bytes thermostatStatus(const Module& m) {
    const auto current = static_cast<std::uint8_t>(m.temperatureSixteenths / 8);  // half degrees
    return moduleFrame(kLowPriority, m.address, {kThermostatStatus, 0x00, 0x00, 0x00, current, 42, 0x00, 0x00});
}

void inputStatus(std::vector<Bytes>& out, const Module& m) {
    std::uint8_t pressed = 0;
    for (int ch = 1; ch <= m.type->channels && ch <= 8; ++ch) {
        if (m.states[static_cast<std::size_t>(ch - 1)]) pressed |= static_cast<std::uint8_t>(1u << (ch - 1));
    }
    if (m.is(0x0B)) {
        out.push_back(moduleFrame(kLowPriority, m.address, {kModuleStatus, pressed, 0x00, 0x00, 0x00, 0x00}));
    } else {
        out.push_back(moduleFrame(kLowPriority, m.address, {kModuleStatus, pressed, 0xFF, 0xFF, 0x00, 0x00, 0x00}));
    }
}

void status(std::vector<Bytes>& out, const Module& m, std::uint8_t mask) {
    if (relays(m)) {
        for (const int ch : channelsOf(m, mask)) out.push_back(relayStatus(m, ch));
    } else if (m.is(0x1D)) {
        for (const int ch : channelsOf(m, static_cast<std::uint8_t>(mask & 0x03))) {
            out.push_back(moduleFrame(kLowPriority, m.address,
                                      {kBlindStatus, channelByte(m, ch), 0x1E, 0x00, 0x00, m.states[static_cast<std::size_t>(ch - 1)], 0x00, 0x00}));
        }
    } else if (m.is(0x15)) {
        out.push_back(dimmerStatus(m));  // one channel: whatever the mask says
    } else if (m.is(0x0C)) {
        out.push_back(thermostatStatus(m));
        out.push_back(temperatureFrame(m));
    } else if (m.is(0x1E)) {
        inputStatus(out, m);
        out.push_back(thermostatStatus(m));
        out.push_back(temperatureFrame(m));
    } else {
        inputStatus(out, m);
    }
}

}  // namespace

Bytes moduleFrame(std::uint8_t priority, std::uint8_t address, const Bytes& data, bool rtr) {
    return makeFrame(priority, address, data, rtr);
}

Bytes relayStatus(const Module& m, int ch) {
    const bool on = m.states[static_cast<std::size_t>(ch - 1)] != 0;
    return moduleFrame(kLowPriority, m.address,
                       {kRelayStatus, channelByte(m, ch), 0x00, static_cast<std::uint8_t>(on ? 1 : 0),
                        static_cast<std::uint8_t>(on ? 0x80 : 0), 0, 0, 0});
}

Bytes temperatureFrame(const Module& m) {
    const auto [th, tl] = sixteenths(m.temperatureSixteenths);
    const auto [nh, nl] = sixteenths(m.temperatureSixteenths - 2 * 16);
    const auto [xh, xl] = sixteenths(m.temperatureSixteenths + 2 * 16);
    return moduleFrame(kLowPriority, m.address, {kTemperature, th, tl, nh, nl, xh, xl});
}

Bytes buttonFrame(const Module& panel, std::uint8_t bit, bool pressed) {
    return moduleFrame(kHighPriority, panel.address,
                       pressed ? Bytes{kButtonStatus, bit, 0x00, 0x00} : Bytes{kButtonStatus, 0x00, bit, 0x00});
}

std::vector<Bytes> powerUp(const House& house) {
    std::vector<Bytes> out;
    for (const auto& m : house.modules) out.push_back(moduleFrame(kLowPriority, 0x00, {kPowerUp, m.address}));
    return out;
}

namespace {

// A request or command as a module reads it: its command byte, its data length, and its
// arguments (0 past the data).
struct Request {
    const Bytes& frame;
    int n;
    std::uint8_t command;
    std::uint8_t arg(int i) const { return n > i ? frame[static_cast<std::size_t>(4 + i)] : 0; }
};

// A type request: the type, and a glass panel's sub-addresses right after it.
void answerTypeRequest(std::vector<Bytes>& out, const Module& m) {
    out.push_back(moduleFrame(kLowPriority, m.address, typeReply(m)));
    if (m.is(0x1E)) {
        out.push_back(moduleFrame(kLowPriority, m.address,
                                  {kSubAddressReply, m.type->code, high(m.serial), low(m.serial), m.subAddresses[0],
                                   m.subAddresses[1], m.subAddresses[2], m.subAddresses[3]}));
    }
}

// What a module is asked to read out: names, memory, status, counters, error counts and
// temperatures. False: not such a request.
bool answerRead(std::vector<Bytes>& out, Module& m, const Request& r) {
    switch (r.command) {
        case kChannelNameRequest:
            if (r.n >= 2) {
                // The blinds module ignores the higher bits (one client asks EF 0F).
                const std::uint8_t named =
                    m.is(0x1D) && r.arg(1) != kEveryChannel ? static_cast<std::uint8_t>(r.arg(1) & 0x03) : r.arg(1);
                for (const int ch : channelsOf(m, named)) channelName(out, m, ch);
            }
            break;
        case kMemoryByteRequest:
            if (r.n >= 3) {
                const unsigned a = (r.arg(1) << 8) | r.arg(2);
                out.push_back(moduleFrame(kLowPriority, m.address, {kMemoryByte, r.arg(1), r.arg(2), memoryAt(m, a)}));
            }
            break;
        case kMemoryBlockRequest:
            if (r.n >= 3) {
                const unsigned a = (r.arg(1) << 8) | r.arg(2);
                out.push_back(moduleFrame(kLowPriority, m.address,
                                          {kMemoryBlock, r.arg(1), r.arg(2), memoryAt(m, a), memoryAt(m, a + 1),
                                           memoryAt(m, a + 2), memoryAt(m, a + 3)}));
            }
            break;
        case kModuleStatusRequest:
            if (r.n >= 2) status(out, m, r.arg(1));
            break;
        case kBusErrorCountRequest:
            out.push_back(moduleFrame(kLowPriority, m.address, {kBusErrorCount, 0x00, 0x00, 0x00}));
            break;
        case kTemperatureRequest:
            if (m.is(0x0C) || m.is(0x1E)) out.push_back(temperatureFrame(m));
            break;
        case kCounterStatusRequest:
            if (m.is(0x22) && r.n >= 2) {
                for (int ch = 1; ch <= 4; ++ch) {
                    if (!(r.arg(1) & (1u << (ch - 1)))) continue;
                    const std::uint32_t c = m.counters[static_cast<std::size_t>(ch - 1)];
                    out.push_back(moduleFrame(kLowPriority, m.address,
                                              {kCounterStatus, static_cast<std::uint8_t>((10 << 2) | (ch - 1)),
                                               static_cast<std::uint8_t>(c >> 24), static_cast<std::uint8_t>(c >> 16),
                                               static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c), 0x00, 0x3C}));
                }
            }
            break;
        default: return false;
    }
    return true;
}

// What a module is told to do: switch, dim, keep in its memory.
void obeyCommand(std::vector<Bytes>& out, Module& m, const Request& r) {
    switch (r.command) {
        case kWriteMemoryByte:
            if (r.n == 4) writeMemory(m, (r.arg(1) << 8) | r.arg(2), std::span(r.frame).subspan(7, 1));
            break;
        case kWriteMemoryBlock:
            if (r.n == 7) writeMemory(m, (r.arg(1) << 8) | r.arg(2), std::span(r.frame).subspan(7, 4));
            break;
        case kSwitchRelayOff:
        case kSwitchRelayOn:
            if (relays(m) && r.n >= 2) {
                for (const int ch : channelsOf(m, r.arg(1))) {
                    auto& state = m.states[static_cast<std::size_t>(ch - 1)];
                    const std::uint8_t now = r.command == kSwitchRelayOn ? 1 : 0;
                    if (state == now) continue;
                    state = now;
                    out.push_back(relayStatus(m, ch));
                }
            }
            break;
        case kSetDimmer:
            if (m.is(0x15) && r.n >= 3) {
                m.states[0] = std::min<std::uint8_t>(r.arg(2), 100);
                out.push_back(dimmerStatus(m));
            }
            break;
        default: break;
    }
}

}  // namespace

std::vector<Bytes> answer(House& house, const Bytes& f) {
    std::vector<Bytes> out;
    if (f.size() < 6) return out;
    Module* m = house.at(f[2]);
    if (m == nullptr) return out;
    const bool rtr = (f[3] & kRtrBit) != 0;
    const int n = f[3] & 0x0F;
    if (f.size() != static_cast<std::size_t>(6 + n)) return out;
    if (rtr) {
        if (n == 0) answerTypeRequest(out, *m);
        return out;
    }
    if (n == 0) return out;
    const Request request{f, n, f[4]};
    if (!answerRead(out, *m, request)) obeyCommand(out, *m, request);
    return out;
}

}  // namespace tessel::sim
