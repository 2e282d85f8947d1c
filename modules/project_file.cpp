#include "modules/project_file.h"

#include <algorithm>
#include <ctime>

#include "platform/date.h"
#include "platform/latin9.h"
#include "protocol/frame.h"

namespace tessel {

namespace {

constexpr std::uint8_t kPadding = 0xFF;

constexpr const char* kHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Project>\n"
    "  <Remark>Made by tessel-serverd from what it heard on the bus: the modules that answered, their "
    "names and their channel names, for the home-automation server to import instead of a scan. It is not "
    "a full project: never open it in the configuration tool and save it over the installer's project."
    "</Remark>\n"
    "  <Modules>\n";
constexpr const char* kTail = "  </Modules>\n</Project>\n";

// XML text and attribute values: the five characters that would end them.
std::string escaped(const std::string& utf8) {
    std::string out;
    for (const char c : utf8) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::uint8_t asciiOnly(std::uint8_t b) { return b >= 0x20 && b < 0x7F ? b : kPadding; }

std::size_t lastAddress(const ModuleTypeInfo& type) {
    std::size_t last = 0;
    const auto see = [&last](const MemoryRanges& ranges) {
        for (const auto& [first, end] : ranges) last = std::max<std::size_t>(last, end);
    };
    see(type.nameRanges);
    for (const auto& [channel, ranges] : type.channelNameRanges) see(ranges);
    return last;
}

void place(std::vector<std::uint8_t>& memory, const MemoryRanges& ranges, const std::vector<std::uint8_t>& bytes) {
    std::size_t next = 0;
    for (const auto& [first, last] : ranges) {
        for (std::size_t a = first; a <= last && next < bytes.size(); ++a) memory[a] = asciiOnly(bytes[next++]);
    }
}

const ModuleTypeInfo* typeOf(const ModuleRecord& r) { return r.type ? findModuleType(*r.type) : nullptr; }

// Two bytes, high first, as four hexadecimal digits.
std::string hex4(std::uint8_t high, std::uint8_t low) {
    const std::uint8_t bytes[] = {high, low};
    return frameHexText(bytes);
}

}  // namespace

bool inProjectFile(const ModuleRecord& r) { return typeOf(r) != nullptr; }

bool namesMissing(const ModuleRecord& r) {
    const ModuleTypeInfo* type = typeOf(r);
    if (type == nullptr || (type->nameRanges.empty() && type->channelNameRanges.empty())) return false;
    const bool moduleNameHeard = std::any_of(r.nameBytes.begin(), r.nameBytes.end(), [](std::int16_t b) { return b >= 0; });
    return !moduleNameHeard && r.channels.empty();
}

ProjectCounts projectCounts(const ModuleTable& t) {
    ProjectCounts c;
    for (const auto& slot : t.byAddress) {
        if (!slot) continue;
        if (!inProjectFile(*slot)) {
            ++c.leftOut;
            continue;
        }
        ++c.modules;
        if (namesMissing(*slot)) ++c.namesMissing;
    }
    return c;
}

std::string projectCaption(const ModuleRecord& r) {
    const ModuleTypeInfo* type = typeOf(r);
    const std::string name = moduleName(r);
    if (type == nullptr || type->nameRanges.empty() || name.empty()) {
        return (type != nullptr ? type->name : typeText(r)) + " " + addressText(r.address);
    }
    return name;
}

std::string projectMemory(const ModuleRecord& r) {
    const ModuleTypeInfo* type = typeOf(r);
    if (type == nullptr) return {};
    std::vector<std::uint8_t> memory(lastAddress(*type) + 1, kPadding);
    std::vector<std::uint8_t> name;
    for (const std::int16_t b : r.nameBytes) name.push_back(b < 0 ? kPadding : static_cast<std::uint8_t>(b));
    place(memory, type->nameRanges, name);
    for (const auto& [channel, known] : r.channels) {
        const auto ranges = type->channelNameRanges.find(clientChannel(*type, channel));
        if (ranges == type->channelNameRanges.end()) continue;
        std::vector<std::uint8_t> bytes(known.bytes.begin(), known.bytes.end());
        // A part not heard is padding, not whatever stood in the record.
        for (int part = 0; part < 3; ++part) {
            if ((known.partsKnown & (1u << part)) != 0) continue;
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(channelPartStart(part)), channelPartSize(part), kPadding);
        }
        place(memory, ranges->second, bytes);
    }
    return frameHexText(memory);
}

std::string projectModule(const ModuleRecord& r) {
    const ModuleTypeInfo* type = typeOf(r);
    if (type == nullptr) return {};
    std::string address = frameHexText(std::span<const std::uint8_t>(&r.address, 1));
    for (const std::uint8_t sub : r.subAddresses) {
        if (sub != kPadding) address += "," + frameHexText(std::span<const std::uint8_t>(&sub, 1));
    }
    const std::array<std::uint8_t, 2> build = r.build.value_or(std::array<std::uint8_t, 2>{0, 0});
    const std::uint16_t serial = r.serial.value_or(0);
    return "    <Module address=\"" + address + "\" type=\"" + escaped(type->name) + "\" build=\"" + hex4(build[0], build[1]) +
           "\" serial=\"" + hex4(static_cast<std::uint8_t>(serial >> 8), static_cast<std::uint8_t>(serial & 0xFF)) + "\" locked=\"false\" layer=\"0\">\n" +
           "      <Caption>" + escaped(latin9ToUtf8(projectCaption(r))) + "</Caption>\n" +
           "      <Memory>" + projectMemory(r) + "</Memory>\n    </Module>\n";
}

std::size_t ProjectFileText::read(char* out, std::size_t max) {
    while (pending_.size() - taken_ < max && !done_) {
        if (taken_ > 0) {
            pending_.erase(0, taken_);
            taken_ = 0;
        }
        if (next_ < 0) {
            pending_ += kHead;
        } else if (next_ < 256) {
            if (const auto& slot = table_.byAddress[static_cast<std::size_t>(next_)]) pending_ += projectModule(*slot);
        } else {
            pending_ += kTail;
            done_ = true;
        }
        ++next_;
    }
    const std::size_t n = std::min(max, pending_.size() - taken_);
    std::copy_n(pending_.data() + taken_, n, out);
    taken_ += n;
    return n;
}

std::string projectFile(const ModuleTable& table) {
    ProjectFileText text(table);
    std::string out;
    char chunk[16 * 1024];
    for (std::size_t n; (n = text.read(chunk, sizeof chunk)) > 0;) out.append(chunk, n);
    return out;
}

std::string projectFileName(std::int64_t wallSeconds) {
    return formatDate("tessel-house-%yyyy%mm%dd-for-home-assistant.vlp", dateFromTime(static_cast<std::time_t>(wallSeconds)));
}

}  // namespace tessel
