#include "modules/module_table.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "platform/saturating.h"
#include "protocol/commands.h"
#include "protocol/frame.h"

namespace tessel {

namespace {

constexpr std::uint8_t kNone = 0xFF;

// Commands hosts send to a module (switching, dimming, requests of status, names, memory and
// counters): on the bus they come from another host, not from the module they name.
bool hostCommand(std::uint8_t command) {
    switch (command) {
        // Switching, blinds, dimming and timers (0x01 to 0x08), and the buttons' lock and
        // release (0x10 to 0x12).
        case kSwitchRelayOff: case kSwitchRelayOn: case 0x03: case 0x04: case 0x05: case 0x06: case kSetDimmer:
        case 0x08: case 0x10: case 0x11: case 0x12:
        case kCounterStatusRequest: case kMemoryBlockRequest: case kWriteMemoryBlock: case kBusErrorCountRequest:
        case kTemperatureRequest: case kChannelNameRequest:
        case kModuleStatusRequest: case kWriteMemoryByte: case kMemoryByteRequest:
            return true;
        default:
            return false;
    }
}

struct FrameView {
    std::uint8_t address = 0;
    bool rtr = false;
    std::span<const std::uint8_t> data;
};

std::optional<FrameView> view(std::span<const std::uint8_t> frame) {
    if (frame.size() < 6 || frame[0] != kStartByte) return std::nullopt;
    const std::size_t length = frame[3] & 0x0F;
    if (frame.size() < length + 6) return std::nullopt;
    return FrameView{frame[2], (frame[3] & kRtrBit) != 0, frame.subspan(4, length)};
}

// A fresh record, first heard now.
ModuleRecord& recordAt(ModuleTable& t, std::uint8_t address, std::int64_t now, bool& found) {
    auto& slot = t.byAddress[address];
    if (!slot) {
        slot.emplace();
        slot->address = address;
        slot->firstSeen = now;
        found = true;
    }
    return *slot;
}

void setType(ModuleRecord& r, std::uint8_t code, ModuleNews& news) {
    if (r.type == code) return;
    // Another type at this address: what was learned of the old one no longer holds.
    r.type = code;
    r.channels.clear();
    const ModuleTypeInfo* info = findModuleType(code);
    r.nameBytes.assign(info != nullptr ? nameLength(*info) : 0, -1);
    news.described = true;
}

void learnType(ModuleRecord& r, std::span<const std::uint8_t> data, ModuleNews& news) {
    setType(r, data[1], news);
    const ModuleTypeInfo* info = findModuleType(data[1]);
    const std::size_t at = info != nullptr ? info->serialAt : 2;
    if (data.size() < at + 5) return;  // a short form: the type alone
    const auto serial = static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
    const std::array<std::uint8_t, 2> build{data[at + 3], data[at + 4]};
    if (r.serial != serial || r.build != build || r.memoryMap != data[at + 2]) news.described = true;
    r.serial = serial;
    r.memoryMap = data[at + 2];
    r.build = build;
}

void learnSubAddresses(ModuleTable& t, ModuleRecord& r, std::span<const std::uint8_t> data, ModuleNews& news) {
    if (data.size() < 8) return;
    std::array<std::uint8_t, 4> subs{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint8_t s = data[4 + i];
        subs[i] = s == 0x00 || s == r.address ? kNone : s;
    }
    if (subs == r.subAddresses) return;
    for (const std::uint8_t old : r.subAddresses) {
        if (old != kNone && t.ownerOf[old] == r.address) t.ownerOf[old] = 0;
    }
    r.subAddresses = subs;
    for (const std::uint8_t s : subs) {
        if (s == kNone) continue;
        t.ownerOf[s] = r.address;
        // Heard before it was known as a sub-address: it is this module.
        if (auto& stray = t.byAddress[s]; stray && !stray->type) {
            r.frames += stray->frames;
            r.firstSeen = std::min(r.firstSeen, stray->firstSeen);
            stray.reset();
        }
    }
    news.described = true;
}

// The channel a name frame is for: its bit or its number, and for a sub-address the channels
// past the main address's eight.
std::optional<int> channelOf(const ModuleRecord& r, std::uint8_t sender, std::uint8_t named) {
    const ModuleTypeInfo* info = r.type ? findModuleType(*r.type) : nullptr;
    const ChannelNaming naming = info != nullptr ? info->naming : ChannelNaming::Bit;
    if (named == 0) return std::nullopt;
    if (naming == ChannelNaming::Number) return named;
    if (std::popcount(named) != 1) return std::nullopt;  // several channels at once: not a name
    int offset = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (sender != r.address && r.subAddresses[i] == sender) offset = 8 * static_cast<int>(i + 1);
    }
    return offset + std::countr_zero(named) + 1;
}

void learnChannelName(ModuleRecord& r, std::uint8_t sender, std::span<const std::uint8_t> data, ModuleNews& news) {
    if (!r.type || data.size() < 3) return;
    const auto channel = channelOf(r, sender, data[1]);
    if (!channel) return;
    const int part = data[0] - kChannelNamePart1;  // 0, 1, 2
    const std::size_t first = channelPartStart(part);
    const std::size_t size = channelPartSize(part);
    ChannelName name = r.channels[*channel];
    for (std::size_t i = 0; i < size; ++i) name.bytes[first + i] = 2 + i < data.size() ? data[2 + i] : kNone;
    name.partsKnown = static_cast<std::uint8_t>(name.partsKnown | (1u << part));
    if (name != r.channels[*channel]) news.described = true;
    r.channels[*channel] = name;
}

// Where `address` falls within `ranges` taken one after the other; none: outside them.
std::optional<std::size_t> offsetIn(const MemoryRanges& ranges, std::uint16_t address) {
    std::size_t index = 0;
    for (const auto& [first, last] : ranges) {
        if (address >= first && address <= last) return index + (address - first);
        index += static_cast<std::size_t>(last - first + 1);
    }
    return std::nullopt;
}

// A channel name's byte from memory: its part counts as read once any of its bytes is.
bool learnChannelByte(ModuleRecord& r, const ModuleTypeInfo& info, std::uint16_t address, std::uint8_t byte) {
    for (const auto& [clientChannel, ranges] : info.channelNameRanges) {
        const auto at = offsetIn(ranges, address);
        if (!at) continue;
        if (*at >= 16) return false;
        ChannelName& name = r.channels[busChannel(info, clientChannel)];
        const int part = channelPartOf(*at);
        if ((name.partsKnown & (1u << part)) == 0) {
            // The rest of a part never read is padding until it is.
            std::fill_n(name.bytes.begin() + static_cast<std::ptrdiff_t>(channelPartStart(part)), channelPartSize(part), kNone);
        }
        const bool changed = name.bytes[*at] != byte || (name.partsKnown & (1u << part)) == 0;
        name.bytes[*at] = byte;
        name.partsKnown = static_cast<std::uint8_t>(name.partsKnown | (1u << part));
        return changed;
    }
    return false;
}

// Memory bytes from `start` on: those that fall in the type's name ranges or a channel name's
// take their place.
void learnMemory(ModuleRecord& r, std::uint16_t start, std::span<const std::uint8_t> bytes, ModuleNews& news) {
    if (!r.type) return;
    const ModuleTypeInfo* info = findModuleType(*r.type);
    if (info == nullptr) return;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto address = static_cast<std::uint16_t>(start + i);
        if (const auto at = offsetIn(info->nameRanges, address)) {
            if (*at < r.nameBytes.size() && r.nameBytes[*at] != bytes[i]) {
                r.nameBytes[*at] = bytes[i];
                news.described = true;
            }
        } else if (learnChannelByte(r, *info, address, bytes[i])) {
            news.described = true;
        }
    }
}

void heard(ModuleRecord& r, std::int64_t now, ModuleNews& news) {
    if (r.silent) {
        r.silent = false;
        news.heardAgain = true;
        news.silentFor = now - r.lastSeen;
    }
    r.heardSinceStart = true;
    r.lastSeen = now;
    ++r.frames;
}

// The padding (0xFF, 0x00) goes, and so do control characters: a name is shown in the journal,
// a label value and a page, where a line feed from the bus must not make a line of its own.
std::string stripped(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (b != kNone && b >= 0x20 && b != 0x7F && !(b >= 0x80 && b < 0xA0)) out += static_cast<char>(b);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

ModuleNews learnFromFrame(ModuleTable& t, std::span<const std::uint8_t> frame, bool fromBus, std::int64_t now) {
    ModuleNews news;
    const auto f = view(frame);
    if (!fromBus || !f || f->rtr || f->data.empty()) return news;
    const std::uint8_t command = f->data[0];
    if (f->address == 0x00) {
        // A module that starts says so from address 0.
        if (command != kPowerUp || f->data.size() < 2 || f->data[1] == 0x00 || f->data[1] == kNone) return news;
        const std::uint8_t address = t.ownerOf[f->data[1]] != 0 ? t.ownerOf[f->data[1]] : f->data[1];
        ModuleRecord& r = recordAt(t, address, now, news.found);
        news.address = address;
        heard(r, now, news);
        ++r.restarts;
        r.lastRestart = now;
        news.restarted = true;
        return news;
    }
    if (f->address == kNone || hostCommand(command)) return news;
    const std::uint8_t sender = f->address;
    const std::uint8_t address = t.ownerOf[sender] != 0 ? t.ownerOf[sender] : sender;
    ModuleRecord& r = recordAt(t, address, now, news.found);
    news.address = address;
    heard(r, now, news);
    const auto data = f->data;
    switch (command) {
        case kModuleTypeReply:
            if (data.size() >= 2 && sender == address) learnType(r, data, news);
            break;
        case kSubAddressReply:
            if (sender == address) learnSubAddresses(t, r, data, news);
            break;
        case kChannelNamePart1: case kChannelNamePart2: case kChannelNamePart3:
            learnChannelName(r, sender, data, news);
            break;
        case kMemoryByte:
            if (data.size() >= 4) learnMemory(r, static_cast<std::uint16_t>(data[1] << 8 | data[2]), data.subspan(3, 1), news);
            break;
        case kMemoryBlock:
            if (data.size() >= 7) learnMemory(r, static_cast<std::uint16_t>(data[1] << 8 | data[2]), data.subspan(3, 4), news);
            break;
        default:
            break;
    }
    return news;
}

std::optional<std::uint8_t> memoryWriteTarget(std::span<const std::uint8_t> frame) {
    const auto f = view(frame);
    if (!f || f->rtr || f->address == 0x00 || f->address == kNone) return std::nullopt;
    if (f->data.size() == 4 && f->data[0] == kWriteMemoryByte) return f->address;
    if (f->data.size() == 7 && f->data[0] == kWriteMemoryBlock) return f->address;
    return std::nullopt;
}

ModuleNews learnFromWrite(ModuleTable& t, std::span<const std::uint8_t> frame) {
    ModuleNews news;
    const auto target = memoryWriteTarget(frame);
    if (!target || !t.byAddress[*target]) return news;
    const auto data = view(frame)->data;
    ModuleRecord& r = *t.byAddress[*target];
    learnMemory(r, static_cast<std::uint16_t>(data[1] << 8 | data[2]), data.subspan(3), news);
    news.address = r.address;
    news.written = news.described;
    return news;
}

const ModuleRecord* moduleAt(const ModuleTable& t, std::uint8_t address) {
    const std::uint8_t owner = t.ownerOf[address] != 0 ? t.ownerOf[address] : address;
    return t.byAddress[owner] ? &*t.byAddress[owner] : nullptr;
}

std::vector<std::uint8_t> markSilent(ModuleTable& t, std::int64_t now, std::int64_t silentAfter) {
    std::vector<std::uint8_t> out;
    if (silentAfter <= 0) return out;
    for (auto& slot : t.byAddress) {
        if (slot && !slot->silent && saturatingSub(now, slot->lastSeen) >= silentAfter) {
            slot->silent = true;
            out.push_back(slot->address);
        }
    }
    return out;
}

std::optional<std::int64_t> nextSilence(const ModuleTable& t, std::int64_t silentAfter) {
    std::optional<std::int64_t> next;
    if (silentAfter <= 0) return next;
    for (const auto& slot : t.byAddress) {
        if (!slot || slot->silent) continue;
        const std::int64_t at = saturatingAdd(slot->lastSeen, silentAfter);
        next = std::min(next.value_or(at), at);
    }
    return next;
}

ModuleCounts countModules(const ModuleTable& t) {
    ModuleCounts c;
    for (const auto& slot : t.byAddress) {
        if (!slot) continue;
        ++c.known;
        if (slot->silent) ++c.silent;
    }
    return c;
}

std::string moduleName(const ModuleRecord& r) {
    // The bytes read so far, up to the first not read yet.
    std::vector<std::uint8_t> bytes;
    for (const std::int16_t b : r.nameBytes) {
        if (b < 0) break;
        bytes.push_back(static_cast<std::uint8_t>(b));
    }
    return stripped(bytes);
}

bool nameComplete(const ModuleRecord& r) {
    for (const std::int16_t b : r.nameBytes) {
        if (b < 0) return false;
        if (b == kNone) return true;
    }
    return true;
}

std::string channelNameText(const ChannelName& name) {
    std::vector<std::uint8_t> bytes;
    for (int part = 0; part < 3 && (name.partsKnown & (1u << part)) != 0; ++part) {
        const std::size_t first = part == 0 ? 0 : part == 1 ? 6 : 12;
        bytes.insert(bytes.end(), name.bytes.begin() + static_cast<std::ptrdiff_t>(first),
                     name.bytes.begin() + static_cast<std::ptrdiff_t>(first + (part == 2 ? 4 : 6)));
    }
    return stripped(bytes);
}

std::string serialText(const ModuleRecord& r) {
    if (!r.serial) return {};
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(*r.serial));
    return text;
}

std::string buildText(const ModuleRecord& r) {
    if (!r.build) return {};
    char text[8];
    std::snprintf(text, sizeof text, "%02X-%02X", static_cast<unsigned>((*r.build)[0]), static_cast<unsigned>((*r.build)[1]));
    return text;
}

std::string typeText(const ModuleRecord& r) { return r.type ? moduleTypeText(*r.type) : std::string(); }

std::string quotedName(const std::string& name) {
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string moduleDescription(const ModuleRecord& r) {
    std::string out = addressText(r.address);
    if (r.type) out += " " + typeText(r);
    if (const std::string name = moduleName(r); !name.empty()) out += " " + quotedName(name);
    if (r.serial) out += " serial " + serialText(r);
    if (r.build) out += " build " + buildText(r);
    return out;
}

}  // namespace tessel
