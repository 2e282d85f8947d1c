// The project file the home-automation server imports: read back here as its reader takes it
// (every <Module>, its attributes, the caption, and each name from the memory at its type's
// addresses, 0xFF dropped), for every type of the simulated house and for types known only from
// the table; escaping, padding, the clients' channel numbers, and names that are not ASCII.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "modules/project_file.h"
#include "support/fakes.h"
#include "support/scanned_house.h"
#include "tools/sim_house.h"
#include "tools/sim_replies.h"

namespace tessel {
namespace {

struct ReadModule {
    std::string address, type, build, serial, caption, memory;
};

// The text of `file` between `open` and `close` from `at` on, and `at` moved past it; empty when
// there is none.
std::string between(const std::string& file, const std::string& open, const std::string& close, std::size_t& at) {
    const std::size_t begin = file.find(open, at);
    if (begin == std::string::npos) return {};
    const std::size_t end = file.find(close, begin + open.size());
    if (end == std::string::npos) return {};
    at = end + close.size();
    return file.substr(begin + open.size(), end - begin - open.size());
}

// Every <Module> of the file, as the reader finds them.
std::vector<ReadModule> readModules(const std::string& file) {
    std::vector<ReadModule> out;
    for (std::size_t at = 0;;) {
        const std::string element = between(file, "<Module ", "</Module>", at);
        if (element.empty()) return out;
        std::size_t in = 0;
        ReadModule m;
        m.address = between(element, "address=\"", "\"", in);
        m.type = between(element, "type=\"", "\"", in);
        m.build = between(element, "build=\"", "\"", in);
        m.serial = between(element, "serial=\"", "\"", in);
        EXPECT_EQ(between(element, " locked=\"", "\"", in), "false");
        EXPECT_EQ(between(element, " layer=\"", "\"", in), "0");
        m.caption = between(element, "<Caption>", "</Caption>", in);
        m.memory = between(element, "<Memory>", "</Memory>", in);
        EXPECT_EQ(m.memory.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        out.push_back(m);
    }
}

// A name from the memory's hexadecimal text at `ranges`, 0xFF dropped, as the reader takes it.
std::string nameAt(const std::string& memory, const MemoryRanges& ranges) {
    std::string out;
    for (const auto& [first, last] : ranges) {
        for (std::size_t a = first; a <= last; ++a) {
            EXPECT_LT(2 * a + 1, memory.size()) << "the memory ends before its names";
            if (2 * a + 1 >= memory.size()) return out;
            const auto b = static_cast<std::uint8_t>(std::stoul(memory.substr(2 * a, 2), nullptr, 16));
            if (b == 0xFF) continue;
            EXPECT_LT(b, 0x80) << "not ASCII";
            out += static_cast<char>(b);
        }
    }
    return out;
}

TEST(ProjectFile, HoldsEveryModuleOfTheSimulatedHouseWithItsNames) {
    sim::House house = test::defaultHouse();
    const ModuleTable t = test::scannedHouse(house);
    const std::string file = projectFile(t);
    EXPECT_EQ(file.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Project>\n  <Remark>", 0), 0u);
    EXPECT_NE(file.find("never open it in the configuration tool and save it over the installer's project"), std::string::npos);
    const auto modules = readModules(file);
    ASSERT_EQ(modules.size(), house.modules.size());
    std::map<std::string, ReadModule> byAddress;
    for (const ReadModule& m : modules) byAddress[m.address.substr(0, 2)] = m;
    for (const sim::Module& m : house.modules) {
        char address[3];
        std::snprintf(address, sizeof address, "%02X", m.address);
        ASSERT_EQ(byAddress.count(address), 1u) << address;
        const ReadModule& got = byAddress[address];
        const ModuleTypeInfo& type = *m.type->info;
        std::string addresses = address;
        for (const std::uint8_t sub : m.subAddresses) {
            if (sub == 0xFF) continue;
            char text[4];
            std::snprintf(text, sizeof text, ",%02X", sub);
            addresses += text;
        }
        EXPECT_EQ(got.address, addresses);
        EXPECT_EQ(got.type, type.name);
        char serial[5], build[5];
        std::snprintf(serial, sizeof serial, "%04X", m.serial);
        std::snprintf(build, sizeof build, "%02X%02X", m.type->buildYear, m.type->buildWeek);
        EXPECT_EQ(got.serial, serial) << address;
        EXPECT_EQ(got.build, build) << address;
        EXPECT_EQ(got.caption, type.nameRanges.empty() ? type.name + " $" + address : m.name) << address;
        if (!type.nameRanges.empty()) {
            EXPECT_EQ(nameAt(got.memory, type.nameRanges), m.name) << address;
        }
        for (std::size_t ch = 0; ch < m.channelNames.size(); ++ch) {
            // The clients' channel number: the panel's thermostat is 9 on the bus, 10 here.
            const int client = clientChannel(type, static_cast<int>(ch + 1));
            ASSERT_EQ(type.channelNameRanges.count(client), 1u) << address << " " << client;
            EXPECT_EQ(nameAt(got.memory, type.channelNameRanges.at(client)), m.channelNames[ch]) << address << " " << client;
        }
    }
    EXPECT_EQ(projectCounts(t).modules, 13);
    EXPECT_EQ(projectCounts(t).leftOut, 0);
    EXPECT_EQ(projectCounts(t).namesMissing, 0);
}

ModuleTable learned(std::uint8_t address, const std::vector<const char*>& frames) {
    ModuleTable t;
    for (const char* data : frames) {
        learnFromFrame(t, sim::moduleFrame(kLowPriority, address, test::hexBytes(data)), true, 1000);
    }
    return t;
}

// Types the simulated house has not: the file places their names where the table says.
TEST(ProjectFile, TypesKnownOnlyFromTheTable) {
    const struct {
        const char* what;
        std::uint8_t address;
        std::vector<const char*> frames;
        std::string type, caption;
        int channel;
        std::string channelName;
        std::string moduleName;
    } table[] = {
        {"an outdoor glass panel, its name high in memory", 0x24,
         {"FF 28 12 34 01 14 20", "CC 09 BE 50 6F 72 63", "CC 09 C2 68 FF FF FF", "F0 01 44 6F 6F 72 FF FF",
          "F1 01 FF FF FF FF FF FF", "F2 01 FF FF FF FF"},
         "VMBGPOD", "Porch", 1, "Door", "Porch"},
        {"a relay whose channel 6 spans three banks", 0x31,
         {"FF 41 12 35 01 14 20", "F0 20 53 69 78 74 68 20", "F1 20 72 65 6C 61 79 FF", "F2 20 FF FF FF FF"},
         "VMB1RYS", "VMB1RYS $31", 6, "Sixth relay", ""},
        {"a sensor without names: type and address", 0x40, {"FF 2A 12 36 01 14 20"}, "VMBPIRM", "VMBPIRM $40", 0, "", ""},
    };
    for (const auto& row : table) {
        const ModuleTable t = learned(row.address, row.frames);
        const auto modules = readModules(projectFile(t));
        ASSERT_EQ(modules.size(), 1u) << row.what;
        EXPECT_EQ(modules[0].type, row.type) << row.what;
        EXPECT_EQ(modules[0].caption, row.caption) << row.what;
        const ModuleTypeInfo& type = *findModuleTypeNamed(row.type);
        if (row.channel != 0) {
            EXPECT_EQ(nameAt(modules[0].memory, type.channelNameRanges.at(row.channel)), row.channelName) << row.what;
        }
        if (!type.nameRanges.empty()) {
            EXPECT_EQ(nameAt(modules[0].memory, type.nameRanges), row.moduleName) << row.what;
        }
        // Long enough for the last range, and 0xFF wherever no name is.
        std::size_t last = 0;
        for (const auto& [first, end] : type.nameRanges) last = std::max<std::size_t>(last, end);
        for (const auto& [ch, ranges] : type.channelNameRanges) {
            for (const auto& [first, end] : ranges) last = std::max<std::size_t>(last, end);
        }
        EXPECT_EQ(modules[0].memory.size(), 2 * (last + 1)) << row.what;
    }
}

// A name that holds what XML must escape, one that is not ASCII, a type the server does not know.
TEST(ProjectFile, EscapesNamesKeepsToAsciiAndLeavesOutUnknownTypes) {
    ModuleTable t = learned(0x10, {"FF 11 12 34 01 14 20", "CC 00 E3 41 26 3C 3E", "CC 00 E7 22 FF FF FF",
                                   "F0 01 45 6E 74 72 E9 65", "F1 01 FF FF FF FF FF FF", "F2 01 FF FF FF FF"});
    for (const char* data : {"FF 58 00 01 01 14 20"}) {
        learnFromFrame(t, sim::moduleFrame(kLowPriority, 0x20, test::hexBytes(data)), true, 1000);
    }
    learnFromFrame(t, sim::moduleFrame(kLowPriority, 0x30, test::hexBytes("FF 15 00 02 01 14 10")), true, 1000);
    const std::string file = projectFile(t);
    EXPECT_NE(file.find("<Caption>A&amp;&lt;&gt;&quot;</Caption>"), std::string::npos) << file;
    const auto modules = readModules(file);
    ASSERT_EQ(modules.size(), 2u);  // $20's type is unknown: one unknown type fails the whole import
    const ModuleTypeInfo& relays = *findModuleType(0x11);
    EXPECT_EQ(nameAt(modules[0].memory, relays.nameRanges), "A&<>\"");
    EXPECT_EQ(nameAt(modules[0].memory, relays.channelNameRanges.at(1)), "Entre");  // the é left out
    const ProjectCounts counts = projectCounts(t);
    EXPECT_EQ(counts.modules, 2);
    EXPECT_EQ(counts.leftOut, 1);
    EXPECT_EQ(counts.namesMissing, 1);  // the dimmer: nothing of its names heard yet
    EXPECT_EQ(modules[1].caption, "VMBDMI $30");
    EXPECT_TRUE(inProjectFile(*moduleAt(t, 0x30)) && namesMissing(*moduleAt(t, 0x30)));
    EXPECT_FALSE(namesMissing(*moduleAt(t, 0x10)));

    // Any chunks: the same file.
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{13}, std::size_t{4096}}) {
        ProjectFileText text(t);
        std::string got;
        std::vector<char> buffer(chunk);
        for (std::size_t n; (n = text.read(buffer.data(), chunk)) > 0;) got.append(buffer.data(), n);
        EXPECT_EQ(got, file) << chunk;
    }
}

TEST(ProjectFile, ItsNameSaysItIsForTheServer) {
    EXPECT_EQ(projectFileName(1796850245).substr(0, 13), "tessel-house-");
    EXPECT_EQ(projectFileName(1796850245).substr(21), "-for-home-assistant.vlp");
}

}  // namespace
}  // namespace tessel
