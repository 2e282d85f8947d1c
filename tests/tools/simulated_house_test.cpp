// The simulated house answers as real modules do: every reply kind per type as a table, and the
// house file's parser with its errors.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "support/fakes.h"
#include "tools/sim_house.h"
#include "tools/sim_replies.h"

namespace tessel::sim {
namespace {

using test::hexBytes;

House defaultHouse() {
    std::ifstream in(TESSEL_DEFAULT_HOUSE);
    House house;
    std::string error;
    EXPECT_TRUE(parseHouse(in, house, error)) << error;
    return house;
}

Bytes request(std::uint8_t address, const Bytes& data, bool rtr = false) {
    return moduleFrame(kLowPriority, address, data, rtr);
}

struct ReplyCase {
    const char* what;
    std::uint8_t address;
    Bytes data;
    bool rtr;
    std::vector<const char*> replies;  // the data of each answer, in order
};

// Each answer's data bytes, checked against its frame's layout and priority.
std::vector<std::string> dataOf(const std::vector<Bytes>& frames, std::uint8_t address) {
    std::vector<std::string> out;
    for (const Bytes& f : frames) {
        EXPECT_EQ(f[1], kLowPriority);
        EXPECT_EQ(f[2], address);
        EXPECT_EQ(f.size(), 6u + (f[3] & 0x0F));
        EXPECT_EQ(f[f.size() - 2], frameChecksum(f, static_cast<std::int64_t>(f.size()) - 3));
        out.push_back(frameHexText(ByteRun(f.data() + 4, f.size() - 6)));
    }
    return out;
}

TEST(SimulatedHouse, EachTypeAnswersAsTheNotesSay) {
    House house = defaultHouse();
    const ReplyCase table[] = {
        {"relay type", 0x10, {}, true, {"FF11123401142" "0"}},
        {"relays with LEDs type", 0x11, {}, true, {"FF10234501142" "0"}},
        {"dimmer type", 0x20, {}, true, {"FF15456701141" "0"}},
        {"sensor type, its zone first", 0x40, {}, true, {"FF0C0078900114" "09"}},
        {"push-button panel type", 0x30, {}, true, {"FF0B678901140" "9"}},
        {"glass panel type and sub-addresses", 0x50, {}, true, {"FF1E901201141" "5", "B01E901251FFFFFF"}},
        {"input module type", 0x60, {}, true, {"FF22A01203142" "4"}},
        {"blinds type", 0x70, {}, true, {"FF1DB12301140" "9"}},
        {"a relay's channel names, one channel a reply", 0x10, {0xEF, 0x03}, false,
         {"F001576F726B746F", "F10170FFFFFFFFFF", "F201FFFFFFFF", "F0024365696C696E", "F10267FFFFFFFFFF",
          "F202FFFFFFFF"}},
        {"the virtual relay 5 has its name", 0x10, {0xEF, 0x10}, false,
         {"F0104B6974636865", "F1106E20616C6CFF", "F210FFFFFFFF"}},
        {"a glass panel's channel by number", 0x50, {0xEF, 0x09}, false,
         {"F0094C6976696E67", "F10920726F6F6DFF", "F209FFFFFFFF"}},
        {"blinds ignore the mask's higher bits", 0x70, {0xEF, 0x0E}, false,
         {"F002536964652077", "F102696E646F77FF", "F202FFFFFFFF"}},
        {"a memory byte", 0x10, {0xFD, 0x00, 0xE3}, false, {"FE00E34B"}},
        {"a memory block of four", 0x10, {0xC9, 0x00, 0xE3}, false, {"CC00E34B697463"}},
        {"past the name: padding", 0x10, {0xC9, 0x00, 0xEA}, false, {"CC00EAFFFFFFFF"}},
        {"relay status for each channel asked", 0x11, {0xFA, 0x05}, false,
         {"FB0100018000000" "0", "FB04000180000000"}},
        {"dimmer status whatever the mask", 0x20, {0xFA, 0x00}, false, {"B8010028800000" "00"}},
        {"sensor status: thermostat then temperature", 0x40, {0xFA, 0x01}, false,
         {"EA0000002B2A0000", "E62B0027002F00"}},
        {"push-button panel status", 0x30, {0xFA, 0xFF}, false, {"ED0000000000"}},
        {"glass panel status", 0x50, {0xFA, 0xFF}, false, {"ED00FFFF000000", "EA0000002A2A0000", "E62A0026002E00"}},
        {"blind status", 0x70, {0xFA, 0x03}, false, {"EC011E0000000000", "EC021E0000640000"}},
        {"bus error counters", 0x60, {0xD9}, false, {"DA000000"}},
        {"meter counters", 0x60, {0xBD, 0x05, 0x00}, false, {"BE2800000000003C", "BE2A00000000003C"}},
        {"temperature request", 0x41, {0xE5, 0x00}, false, {"E62500210029" "00"}},
        {"relay on: the changed channel's status", 0x10, {0x02, 0x01}, false, {"FB01000180000000"}},
        {"dimmer set", 0x21, {0x07, 0x01, 0x3C, 0x00, 0x00}, false, {"B801003C80000000"}},
        {"an unknown request: no answer", 0x10, {0x99, 0x01}, false, {}},
        {"no module there: no answer", 0x99, {}, true, {}},
        {"a sub-address is not a module", 0x51, {}, true, {}},
    };
    for (const auto& row : table) {
        const auto got = dataOf(answer(house, request(row.address, row.data, row.rtr)), row.address);
        EXPECT_EQ(got, std::vector<std::string>(row.replies.begin(), row.replies.end())) << row.what;
    }
}

// Every type answers EF FF (all three clients send it) with every channel it has, named or
// not, three frames a channel; a number-named type answers EF n with channel n alone.
TEST(SimulatedHouse, EveryTypeNamesEveryChannelAskedForAll) {
    House house = defaultHouse();
    const struct {
        const char* what;
        std::uint8_t address;
        std::uint8_t named;
        std::vector<std::uint8_t> channelBytes;  // of the answers, in order
    } table[] = {
        {"relays, by bit", 0x10, 0xFF, {0x01, 0x02, 0x04, 0x08, 0x10}},
        {"dimmer, by number", 0x20, 0xFF, {0x01}},
        {"dimmer, its one channel", 0x20, 0x01, {0x01}},
        {"sensor, one channel", 0x40, 0xFF, {0x01}},
        {"push-button panel", 0x30, 0xFF, {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}},
        {"glass panel, by number", 0x50, 0xFF, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"glass panel, channel 4", 0x50, 0x04, {4}},
        {"glass panel, no channel 10", 0x50, 0x0A, {}},
        {"inputs", 0x60, 0xFF, {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}},
        {"blinds", 0x70, 0xFF, {0x01, 0x02}},
    };
    for (const auto& row : table) {
        const auto frames = answer(house, request(row.address, {0xEF, row.named}));
        ASSERT_EQ(frames.size(), 3 * row.channelBytes.size()) << row.what;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i][4], 0xF0 + i % 3) << row.what;
            EXPECT_EQ(frames[i][5], row.channelBytes[i / 3]) << row.what;
        }
    }
}

// A configuration tool renames by writing memory, a byte (FC) or four (CA) at a time; the
// module then answers its names from what was written.
TEST(SimulatedHouse, MemoryWritesRenameAModule) {
    House house = defaultHouse();
    const auto write = [&](std::uint8_t address, const Bytes& data) {
        EXPECT_TRUE(answer(house, request(address, data)).empty());  // a write is not answered
    };
    write(0x10, {0xCA, 0x00, 0xE3, 'I', 's', 'l', 'a'});
    write(0x10, {0xCA, 0x00, 0xE7, 'n', 'd', 0xFF, 0xFF});
    write(0x10, {0xCA, 0x00, 0xF0, 'I', 's', 'l', 'a'});
    write(0x10, {0xCA, 0x00, 0xF4, 'n', 'd', ' ', 'l'});
    write(0x10, {0xFC, 0x00, 0xF8, 'a'});
    write(0x10, {0xFC, 0x00, 0xF9, 'm'});
    write(0x10, {0xFC, 0x00, 0xFA, 'p'});
    write(0x10, {0xFC, 0x00, 0xFB, 0xFF});
    write(0x50, {0xCA, 0x00, 0xE1, 'W', 'a', 'r', 'm'});  // the panel's thermostat, channel 9
    write(0x50, {0xCA, 0x00, 0xE5, 0xFF, 0xFF, 0xFF, 0xFF});  // a tool pads the rest
    write(0x50, {0xCA, 0x00, 0xE9, 0xFF, 0xFF, 0xFF, 0xFF});
    write(0x50, {0xCA, 0x00, 0xED, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(dataOf(answer(house, request(0x10, {0xC9, 0x00, 0xE3})), 0x10), std::vector<std::string>{"CC00E349736C61"});
    EXPECT_EQ(dataOf(answer(house, request(0x10, {0xC9, 0x00, 0xE7})), 0x10), std::vector<std::string>{"CC00E76E64FFFF"});
    EXPECT_EQ(dataOf(answer(house, request(0x10, {0xEF, 0x01})), 0x10),
              (std::vector<std::string>{"F001497"
                                        "36C616E64", "F101206C616D70FF", "F201FFFFFFFF"}));
    EXPECT_EQ(dataOf(answer(house, request(0x50, {0xEF, 0x09})), 0x50),
              (std::vector<std::string>{"F0095761726DFFFF", "F109FFFFFFFFFFFF", "F209FFFFFFFF"}));
    // Out of the memory, or cut short: nothing changes, nothing breaks.
    write(0x10, {0xFC, 0x7F, 0xFF, 'x'});
    write(0x10, {0xCA, 0x00, 0xF0, 'x'});
    EXPECT_EQ(dataOf(answer(house, request(0x10, {0xC9, 0x00, 0xF0})), 0x10), std::vector<std::string>{"CC00F049736C61"});
}

TEST(SimulatedHouse, ModuleNamesLieAtTheirTypesAddresses) {
    House house = defaultHouse();
    const struct {
        std::uint8_t address;
        std::uint16_t first;
        const char* name;
    } table[] = {{0x10, 0x00E3, "Kitchen"}, {0x20, 0x00B0, "Hall dimmer"}, {0x50, 0x03C0, "Living room panel"},
                 {0x60, 0x03AC, "Utility room inputs"}, {0x70, 0x004C, "Living room blinds"}};
    for (const auto& row : table) {
        const Module& m = *house.at(row.address);
        const std::string name(row.name);
        for (std::size_t i = 0; i < name.size(); ++i) EXPECT_EQ(m.memory[row.first + i], name[i]) << row.name;
        EXPECT_EQ(m.memory[row.first + name.size()], 0xFF) << row.name;
    }
    // A relay's name goes on in the next bank; each channel's name follows its bank.
    EXPECT_EQ(house.at(0x11)->memory[0x00E3 + 10], 'm');  // "Living room", within the first bank
    EXPECT_EQ(house.at(0x10)->memory[0x01F0], 'C');  // channel 2, "Ceiling"
    EXPECT_EQ(house.at(0x10)->memory[0x04F0], 'K');  // the virtual relay 5, "Kitchen all"
}

TEST(SimulatedHouse, TheDefaultHouseIsBigEnough) {
    House house = defaultHouse();
    EXPECT_GE(house.modules.size(), 12u);
    std::set<std::uint8_t> types;
    for (const auto& m : house.modules) {
        types.insert(m.type->code);
        for (const auto& name : m.channelNames) EXPECT_LE(name.size(), m.type->channelLimit);
    }
    EXPECT_GE(types.size(), 7u);
    EXPECT_EQ(powerUp(house).size(), house.modules.size());
    EXPECT_EQ(frameHexText(powerUp(house)[0]), "0FFB0002AB103904");
}

TEST(SimulatedHouse, ABadHouseFileIsNamedByItsLine) {
    const struct {
        const char* file;
        const char* error;
    } table[] = {
        {"", "the house has no module"},
        {"module 10 VMB4RYNO 1234 \"Kitchen\"\n  channel 6 \"Six\"\n", "line 2: a VMB4RYNO has channels 1 to 5"},
        {"module 00 VMBDMI 1 \"x\"\n", "line 1: the address 00 is not 01 to FE"},
        {"module 10 VMBXX 1 \"x\"\n", "line 1: no module type VMBXX"},
        {"module 10 VMBDMI 12345 \"x\"\n", "line 1: the serial 12345 is not 0000 to FFFF"},
        {"module 10 VMBDMI 1 \"x\"\nmodule 10 VMBDMI 2 \"y\"\n", "line 2: the address 10 is taken"},
        {"module 10 VMBGP1 1 \"x\" sub 10\n", "line 1: the address 10 is taken"},
        {"module 10 VMBDMI 1 \"x\" sub 11\n", "line 1: a VMBDMI has no sub-addresses"},
        {"  channel 1 \"x\"\n", "line 1: \"channel\" before any module"},
        {"module 10 VMBDMI 1 \"x\n", "line 1: a quote is not closed"},
        {"# a comment\nmodule 10 VMBDMI 1 \"x\"\n  channel 1 \"Hall\" on\n", "line 3: on and off are for relays"},
        {"module 10 VMBDMI 1 \"x\"\n  temperature 20\n", "line 2: a VMBDMI has no thermometer"},
        {"module 10 VMBDMI 1 \"x\"\n  colour red\n", "line 2: \"colour\" is not module, channel or temperature"},
        {"module 10 VMB4PD 1 \"x\"\n  channel 1 \"Sixteen letters!\"\n", "line 2: the channel name is over 15 characters"},
    };
    for (const auto& row : table) {
        std::istringstream in(row.file);
        House house;
        std::string error;
        EXPECT_FALSE(parseHouse(in, house, error)) << row.file;
        EXPECT_EQ(error, row.error) << row.file;
    }
}

}  // namespace
}  // namespace tessel::sim
