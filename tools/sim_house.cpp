#include "tools/sim_house.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>

namespace tessel::sim {

const std::vector<ModuleType>& moduleTypes() {
    // The module types the house may hold, as the clients parse their replies; builds as the
    // frame carries them (build 1409: 14 09), none older than the clients' name-bearing ones.
    static const std::vector<ModuleType> kTypes = [] {
        std::vector<ModuleType> types{
            {0x10, 5, 0x01, 0x14, 0x20, 12, 16}, {0x11, 5, 0x01, 0x14, 0x20, 12, 16},
            {0x15, 1, 0x01, 0x14, 0x10, 62, 16}, {0x0C, 1, 0x01, 0x14, 0x09, 62, 16},
            {0x0B, 8, 0x01, 0x14, 0x09, 62, 15}, {0x1E, 9, 0x01, 0x14, 0x15, 62, 16},
            {0x22, 8, 0x03, 0x14, 0x24, 62, 16}, {0x1D, 2, 0x01, 0x14, 0x09, 62, 16},
        };
        for (ModuleType& t : types) t.info = findModuleType(t.code);
        return types;
    }();
    return kTypes;
}

const ModuleType* moduleTypeNamed(const std::string& name) {
    for (const auto& t : moduleTypes()) {
        if (name == t.name()) return &t;
    }
    return nullptr;
}

Module* House::at(std::uint8_t address) {
    for (auto& m : modules) {
        if (m.address == address) return &m;
    }
    return nullptr;
}

namespace {

// The addresses of `ranges` in order, within the memory.
std::vector<std::uint16_t> addressesOf(const MemoryRanges& ranges) {
    std::vector<std::uint16_t> out;
    for (const auto& [first, last] : ranges) {
        for (unsigned a = first; a <= last && a < kMemorySize; ++a) out.push_back(static_cast<std::uint16_t>(a));
    }
    return out;
}

const MemoryRanges* channelRanges(const Module& m, int busChannel) {
    const auto it = m.type->info->channelNameRanges.find(clientChannel(*m.type->info, busChannel));
    return it != m.type->info->channelNameRanges.end() ? &it->second : nullptr;
}

void writeText(Module& m, const std::vector<std::uint16_t>& at, const std::string& text) {
    for (std::size_t i = 0; i < at.size() && i < text.size(); ++i) m.memory[at[i]] = static_cast<std::uint8_t>(text[i]);
}

}  // namespace

void layOutMemory(Module& m) {
    m.memory.fill(0xFF);
    writeText(m, addressesOf(m.type->info->nameRanges), m.name);
    for (std::size_t ch = 0; ch < m.channelNames.size(); ++ch) {
        if (const MemoryRanges* ranges = channelRanges(m, static_cast<int>(ch + 1))) {
            writeText(m, addressesOf(*ranges), m.channelNames[ch]);
        }
    }
}

std::array<std::uint8_t, 16> channelNameBytes(const Module& m, int busChannel) {
    std::array<std::uint8_t, 16> out;
    out.fill(0xFF);
    if (const MemoryRanges* ranges = channelRanges(m, busChannel)) {
        const std::vector<std::uint16_t> at = addressesOf(*ranges);
        for (std::size_t i = 0; i < at.size() && i < out.size(); ++i) out[i] = m.memory[at[i]];
        return out;
    }
    // A channel whose name the table places nowhere keeps it outside the memory.
    const std::string& name = m.channelNames[static_cast<std::size_t>(busChannel - 1)];
    for (std::size_t i = 0; i < name.size() && i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(name[i]);
    return out;
}

namespace {

// The words of a line: bare ones and "quoted" ones; false on a quote left open.
bool words(const std::string& line, std::vector<std::string>& out, std::vector<bool>& quoted) {
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        } else if (line[i] == '#') {
            break;
        } else if (line[i] == '"') {
            const std::size_t end = line.find('"', i + 1);
            if (end == std::string::npos) return false;
            out.push_back(line.substr(i + 1, end - i - 1));
            quoted.push_back(true);
            i = end + 1;
        } else {
            std::size_t end = i;
            while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
            out.push_back(line.substr(i, end - i));
            quoted.push_back(false);
            i = end;
        }
    }
    return true;
}

bool hexNumber(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 8) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 16);
    return *end == '\0' && std::isxdigit(static_cast<unsigned char>(text[0])) && value <= max;
}

bool decimal(const std::string& text, long min, long max, long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && value >= min && value <= max;
}

using Words = std::vector<std::string>;

// "module ADDRESS TYPE SERIAL "NAME" [sub ADDRESS...]": a module, or why the line will not do.
std::string moduleLine(const Words& w, const std::vector<bool>& quoted, std::set<unsigned>& used, House& house) {
    if (w.size() < 5 || !quoted[4]) return "a module is: module ADDRESS TYPE SERIAL \"NAME\" [sub ADDRESS...]";
    unsigned long address = 0, serial = 0;
    if (!hexNumber(w[1], 0xFE, address) || address == 0) return "the address " + w[1] + " is not 01 to FE";
    const ModuleType* type = moduleTypeNamed(w[2]);
    if (type == nullptr) return "no module type " + w[2];
    if (!hexNumber(w[3], 0xFFFF, serial)) return "the serial " + w[3] + " is not 0000 to FFFF";
    if (w[4].size() > type->nameLimit) {
        return "the module name is over " + std::to_string(type->nameLimit) + " characters for a " + type->name();
    }
    if (!used.insert(static_cast<unsigned>(address)).second) return "the address " + w[1] + " is taken";
    Module m;
    m.address = static_cast<std::uint8_t>(address);
    m.type = type;
    m.serial = static_cast<std::uint16_t>(serial);
    m.name = w[4];
    m.channelNames.assign(static_cast<std::size_t>(type->channels), std::string());
    m.states.assign(static_cast<std::size_t>(type->channels), 0);
    if (w.size() > 5) {
        if (w[5] != "sub" || w.size() == 6 || w.size() > 10) return "after the name: sub and up to four addresses";
        if (!m.is(0x1E)) return "a " + type->name() + " has no sub-addresses";
        for (std::size_t i = 6; i < w.size(); ++i) {
            unsigned long sub = 0;
            if (!hexNumber(w[i], 0xFE, sub) || sub == 0) return "the sub-address " + w[i] + " is not 01 to FE";
            if (!used.insert(static_cast<unsigned>(sub)).second) return "the address " + w[i] + " is taken";
            m.subAddresses[i - 6] = static_cast<std::uint8_t>(sub);
        }
    }
    house.modules.push_back(std::move(m));
    return {};
}

// "channel N "NAME" [STATE]", of the module above it.
std::string channelLine(const Words& w, const std::vector<bool>& quoted, Module& m) {
    long ch = 0;
    if (w.size() < 3 || w.size() > 4 || !quoted[2]) return "a channel is: channel N \"NAME\" [STATE]";
    if (!decimal(w[1], 1, m.type->channels, ch)) {
        return "a " + m.type->name() + " has channels 1 to " + std::to_string(m.type->channels);
    }
    if (w[2].size() > m.type->channelLimit) {
        return "the channel name is over " + std::to_string(m.type->channelLimit) + " characters";
    }
    const auto at = static_cast<std::size_t>(ch - 1);
    m.channelNames[at] = w[2];
    if (w.size() < 4) return {};
    long level = 0;
    if (w[3] == "on" || w[3] == "off") {
        if (!m.is(0x10) && !m.is(0x11)) return "on and off are for relays";
        m.states[at] = w[3] == "on" ? 1 : 0;
    } else if (decimal(w[3], 0, 100, level) && (m.is(0x15) || m.is(0x1D))) {
        m.states[at] = static_cast<std::uint8_t>(level);
    } else {
        return "the state " + w[3] + " does not fit a " + m.type->name();
    }
    return {};
}

// "temperature DEGREES", of the thermometer above it.
std::string temperatureLine(const Words& w, Module& m) {
    char* end = nullptr;
    const double t = w.size() == 2 ? std::strtod(w[1].c_str(), &end) : 0;
    if (w.size() != 2 || *end != '\0' || t < -55 || t > 125) return "a temperature is: temperature DEGREES";
    if (!m.is(0x0C) && !m.is(0x1E)) return "a " + m.type->name() + " has no thermometer";
    m.temperatureSixteenths = static_cast<int>(t * 16 + (t < 0 ? -0.5 : 0.5));
    return {};
}

}  // namespace

bool parseHouse(std::istream& in, House& house, std::string& error) {
    house.modules.clear();
    std::set<unsigned> used;  // addresses and sub-addresses taken
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Words w;
        std::vector<bool> quoted;
        std::string why;
        if (!words(line, w, quoted)) {
            why = "a quote is not closed";
        } else if (w.empty()) {
            continue;
        } else if (w[0] == "module") {
            why = moduleLine(w, quoted, used, house);
        } else if (house.modules.empty()) {
            why = "\"" + w[0] + "\" before any module";
        } else if (w[0] == "channel") {
            why = channelLine(w, quoted, house.modules.back());
        } else if (w[0] == "temperature") {
            why = temperatureLine(w, house.modules.back());
        } else {
            why = "\"" + w[0] + "\" is not module, channel or temperature";
        }
        if (!why.empty()) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (house.modules.empty()) {
        error = "the house has no module";
        return false;
    }
    for (auto& m : house.modules) layOutMemory(m);
    return true;
}

}  // namespace tessel::sim
