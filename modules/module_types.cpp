#include "modules/module_types.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "protocol/frame.h"

namespace tessel {

extern const char kModuleMemoryTable[];

namespace {

// What the table does not hold: where the serial sits when it is not at byte 2, and how many
// channels a type names where the simulated house and the scan need to know.
struct Beside {
    std::uint8_t code;
    std::uint8_t serialAt;
    int channels;
};
constexpr Beside kBeside[] = {
    {0x0B, 2, 8}, {0x0C, 3, 1}, {0x10, 2, 5}, {0x11, 2, 5}, {0x15, 2, 1}, {0x1D, 2, 2}, {0x1E, 2, 9}, {0x22, 2, 8},
};

std::vector<std::string_view> split(std::string_view text, char by) {
    std::vector<std::string_view> out;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(by, at);
        out.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return out;
        at = end + 1;
    }
}

bool hexNumber(std::string_view text, unsigned& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool decimal(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "00E3-00EF;01E3-01EF", or "-" for none.
bool ranges(std::string_view text, MemoryRanges& out) {
    if (text == "-") return true;
    for (const std::string_view range : split(text, ';')) {
        const auto ends = split(range, '-');
        unsigned first = 0, last = 0;
        if (ends.size() != 2 || ends[0].size() != 4 || ends[1].size() != 4 || !hexNumber(ends[0], first) ||
            !hexNumber(ends[1], last) || last < first) {
            return false;
        }
        out.push_back({static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)});
    }
    return true;
}

// One line of the table into `t`.
bool typeLine(std::string_view line, ModuleTypeInfo& t) {
    const auto f = split(line, '\t');
    unsigned code = 0;
    if (f.size() != 6 || f[0].size() != 2 || !hexNumber(f[0], code) || f[1].empty()) return false;
    t.code = static_cast<std::uint8_t>(code);
    t.name = std::string(f[1]);
    if (f[2] == "bit") t.naming = ChannelNaming::Bit;
    else if (f[2] == "number") t.naming = ChannelNaming::Number;
    else if (f[2] == "-") t.naming = ChannelNaming::None;
    else return false;
    if (f[3] != "-") {
        for (const std::string_view pair : split(f[3], ',')) {
            const auto arrow = pair.find("->");
            int bus = 0, client = 0;
            if (arrow == std::string_view::npos || !decimal(pair.substr(0, arrow), bus) ||
                !decimal(pair.substr(arrow + 2), client)) {
                return false;
            }
            t.clientChannelOf[bus] = client;
        }
    }
    if (f[4] != "-") {
        for (const std::string_view entry : split(f[4], ',')) {
            const auto equals = entry.find('=');
            int channel = 0;
            if (equals == std::string_view::npos || !decimal(entry.substr(0, equals), channel) ||
                !ranges(entry.substr(equals + 1), t.channelNameRanges[channel])) {
                return false;
            }
        }
    }
    if (!ranges(f[5], t.nameRanges)) return false;
    for (const Beside& b : kBeside) {
        if (b.code == t.code) {
            t.serialAt = b.serialAt;
            t.channels = b.channels;
        }
    }
    return true;
}

const std::vector<ModuleTypeInfo>& typeList() {
    static const std::vector<ModuleTypeInfo> kTypes = [] {
        std::string error;
        std::vector<ModuleTypeInfo> types = readModuleTypes(kModuleMemoryTable, error);
        if (!error.empty()) {
            // The table is part of the program: a build whose table does not read is no program.
            std::fprintf(stderr, "module-memory.tsv: %s\n", error.c_str());
            std::abort();
        }
        return types;
    }();
    return kTypes;
}

// Every code's entry, or none, for a lookup by index.
const std::array<const ModuleTypeInfo*, 256>& byCode() {
    static const auto kIndex = [] {
        std::array<const ModuleTypeInfo*, 256> index{};
        for (const ModuleTypeInfo& t : typeList()) index[t.code] = &t;
        return index;
    }();
    return kIndex;
}

}  // namespace

std::vector<ModuleTypeInfo> readModuleTypes(std::string_view table, std::string& error) {
    std::vector<ModuleTypeInfo> types;
    int number = 0;
    for (std::string_view line : split(table, '\n')) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        ModuleTypeInfo t;
        if (!typeLine(line, t)) {
            error = "line " + std::to_string(number) + " does not read";
            return {};
        }
        types.push_back(std::move(t));
    }
    return types;
}

const ModuleTypeInfo* findModuleType(std::uint8_t code) { return byCode()[code]; }

const ModuleTypeInfo* findModuleTypeNamed(std::string_view name) {
    for (const ModuleTypeInfo& t : typeList()) {
        if (t.name == name) return &t;
    }
    return nullptr;
}

const std::vector<ModuleTypeInfo>& moduleTypeList() { return typeList(); }

std::string moduleTypeText(std::uint8_t code) {
    if (const ModuleTypeInfo* t = findModuleType(code)) return t->name;
    return "type " + addressText(code);
}

std::size_t rangesLength(const MemoryRanges& ranges) {
    std::size_t n = 0;
    for (const auto& [first, last] : ranges) n += static_cast<std::size_t>(last - first + 1);
    return n;
}

int clientChannel(const ModuleTypeInfo& type, int bus) {
    const auto it = type.clientChannelOf.find(bus);
    return it != type.clientChannelOf.end() ? it->second : bus;
}

int busChannel(const ModuleTypeInfo& type, int client) {
    for (const auto& [bus, mapped] : type.clientChannelOf) {
        if (mapped == client) return bus;
    }
    return client;
}

}  // namespace tessel
