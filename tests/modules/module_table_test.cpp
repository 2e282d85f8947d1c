// The module table learns the house from frames alone: every reply kind that teaches something,
// per type as a table; names across their parts and padding; what teaches nothing; silence by
// the clock; and the whole default house as the simulator answers a scan.
#include <gtest/gtest.h>

#include <fstream>

#include "modules/module_table.h"
#include "service/module_scan.h"
#include "support/fakes.h"
#include "support/scanned_house.h"
#include "tools/sim_house.h"
#include "tools/sim_replies.h"

namespace tessel {
namespace {

using test::hexBytes;

// A sound frame from `address` at low priority with these data bytes.
Bytes fromModule(std::uint8_t address, const std::string& dataHex) {
    return sim::moduleFrame(kLowPriority, address, hexBytes(dataHex));
}

ModuleNews learn(ModuleTable& t, std::uint8_t address, const std::string& dataHex, std::int64_t now = 1000) {
    return learnFromFrame(t, fromModule(address, dataHex), true, now);
}

struct TypeCase {
    const char* what;
    std::uint8_t address;
    const char* reply;
    const char* type;
    const char* serial;
    const char* build;
};

class TypeReplies : public ::testing::TestWithParam<TypeCase> {};

TEST_P(TypeReplies, TeachTypeSerialAndBuild) {
    const TypeCase& c = GetParam();
    ModuleTable t;
    const ModuleNews news = learn(t, c.address, c.reply);
    EXPECT_TRUE(news.found);
    EXPECT_TRUE(news.described);
    const ModuleRecord* r = moduleAt(t, c.address);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(typeText(*r), c.type);
    EXPECT_EQ(serialText(*r), c.serial);
    EXPECT_EQ(buildText(*r), c.build);
    EXPECT_EQ(r->frames, 1);
    EXPECT_EQ(r->firstSeen, 1000);
    EXPECT_TRUE(r->heardSinceStart);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TypeReplies,
    ::testing::Values(TypeCase{"relays", 0x10, "FF 11 12 34 01 14 20", "VMB4RYNO", "1234", "14-20"},
                      TypeCase{"relays with LED", 0x11, "FF 10 23 45 01 14 20", "VMB4RYLD", "2345", "14-20"},
                      TypeCase{"dimmer", 0x20, "FF 15 45 67 01 14 10", "VMBDMI", "4567", "14-10"},
                      TypeCase{"sensor: its zone first", 0x40, "FF 0C 00 78 90 01 14 09", "VMB1TS", "7890", "14-09"},
                      TypeCase{"push-button panel", 0x30, "FF 0B 67 89 01 14 09", "VMB4PD", "6789", "14-09"},
                      TypeCase{"glass panel", 0x50, "FF 1E 90 12 01 14 15", "VMBGP1", "9012", "14-15"},
                      TypeCase{"inputs", 0x60, "FF 22 A0 12 03 14 24", "VMB7IN", "A012", "14-24"},
                      TypeCase{"blinds", 0x70, "FF 1D B1 23 01 14 09", "VMB2BLE", "B123", "14-09"},
                      TypeCase{"a type not in the list", 0x80, "FF 99 00 01 01 01 01", "type $99", "0001", "01-01"},
                      TypeCase{"the short form: the type alone", 0x81, "FF 11", "VMB4RYNO", "", ""}));

struct NameCase {
    const char* what;
    const char* type;                  // its type reply, from $10
    std::vector<const char*> frames;   // name frames from $10
    int channel;
    const char* name;                  // empty: no such channel learned
};

class ChannelNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ChannelNames, JoinTheirPartsWithoutThePadding) {
    const NameCase& c = GetParam();
    ModuleTable t;
    learn(t, 0x10, c.type);
    for (const char* f : c.frames) learn(t, 0x10, f);
    const ModuleRecord& r = *moduleAt(t, 0x10);
    const auto it = r.channels.find(c.channel);
    if (std::string(c.name).empty()) {
        EXPECT_TRUE(it == r.channels.end()) << c.what;
        return;
    }
    ASSERT_TRUE(it != r.channels.end()) << c.what;
    EXPECT_EQ(channelNameText(it->second), c.name) << c.what;
}

// "Extractor hood": "Extrac" "tor ho" "od" and padding.
INSTANTIATE_TEST_SUITE_P(
    Table, ChannelNames,
    ::testing::Values(
        NameCase{"bit form, three parts", "FF 11 12 34 01 14 20",
                 {"F0 04 45 78 74 72 61 63", "F1 04 74 6F 72 20 68 6F", "F2 04 6F 64 FF FF"}, 3, "Extractor hood"},
        NameCase{"parts in any order", "FF 11 12 34 01 14 20",
                 {"F2 04 6F 64 FF FF", "F0 04 45 78 74 72 61 63", "F1 04 74 6F 72 20 68 6F"}, 3, "Extractor hood"},
        NameCase{"first part only", "FF 11 12 34 01 14 20", {"F0 01 57 6F 72 6B 74 6F"}, 1, "Workto"},
        NameCase{"a short name, padded", "FF 11 12 34 01 14 20",
                 {"F0 10 48 61 6C 6C FF FF", "F1 10 FF FF FF FF FF FF", "F2 10 FF FF FF FF"}, 5, "Hall"},
        NameCase{"sixteen characters, no padding", "FF 11 12 34 01 14 20",
                 {"F0 02 41 42 43 44 45 46", "F1 02 47 48 49 4A 4B 4C", "F2 02 4D 4E 4F 50"}, 2, "ABCDEFGHIJKLMNOP"},
        NameCase{"several bits: no channel's name", "FF 11 12 34 01 14 20", {"F0 03 41 42 43 FF FF FF"}, 1, ""},
        NameCase{"number form", "FF 15 45 67 01 14 10", {"F0 01 48 61 6C 6C FF FF"}, 1, "Hall"},
        NameCase{"control characters dropped: no line of its own", "FF 11 12 34 01 14 20",
                 {"F0 01 48 0A 61 0D 6C 6C", "F1 01 1B 00 9B 7F B0 43"}, 1, "Hall\xB0" "C"},
        NameCase{"number form, channel 9", "FF 1E 90 12 01 14 15", {"F0 09 4C 69 76 69 6E 67"}, 9, "Living"},
        NameCase{"before the type: not placed", "FF", {"F0 01 48 61 6C 6C FF FF"}, 1, ""}));

TEST(ModuleNames, ComeFromMemoryAtTheTypesAddresses) {
    ModuleTable t;
    learn(t, 0x10, "FF 11 12 34 01 14 20");
    const ModuleRecord& r = *moduleAt(t, 0x10);
    EXPECT_FALSE(nameComplete(r));
    learn(t, 0x10, "CC 00 E3 4B 69 74 63");  // "Kitc"
    EXPECT_EQ(moduleName(r), "Kitc");
    EXPECT_FALSE(nameComplete(r));
    learn(t, 0x10, "CC 00 DF 41 41 41 41");  // before the range: not the name
    learn(t, 0x10, "FE 00 E7 68");           // one byte: "h"
    learn(t, 0x10, "CC 00 E8 65 6E FF FF");  // "en" and the padding
    EXPECT_EQ(moduleName(r), "Kitchen");
    EXPECT_TRUE(nameComplete(r));
    EXPECT_EQ(moduleDescription(r), "$10 VMB4RYNO \"Kitchen\" serial 1234 build 14-20");

    // A name longer than the first bank goes on in the next one.
    learn(t, 0x11, "FF 10 23 45 01 14 20");
    const ModuleRecord& long_ = *moduleAt(t, 0x11);
    for (unsigned a = 0xE3; a <= 0xEF; ++a) {
        learnFromFrame(t, sim::moduleFrame(kLowPriority, 0x11, {0xFE, 0x00, static_cast<std::uint8_t>(a), 0x41}), true, 1000);
    }
    learn(t, 0x11, "CC 01 E3 42 43 FF FF");
    EXPECT_EQ(moduleName(long_), "AAAAAAAAAAAAABC");
    EXPECT_TRUE(nameComplete(long_));

    // A type that keeps no name in memory has none to wait for.
    learn(t, 0x40, "FF 0C 00 78 90 01 14 09");
    EXPECT_TRUE(nameComplete(*moduleAt(t, 0x40)));
    EXPECT_EQ(moduleName(*moduleAt(t, 0x40)), "");
}

TEST(SubAddresses, BelongToTheirModule) {
    ModuleTable t;
    // Heard from its sub-address before the module said it has one.
    learn(t, 0x51, "E6 29 00 28 00 2B 00", 900);
    ASSERT_NE(moduleAt(t, 0x51), nullptr);
    learn(t, 0x50, "FF 1E 90 12 01 14 15");
    const ModuleNews news = learn(t, 0x50, "B0 1E 90 12 51 FF FF FF");
    EXPECT_TRUE(news.described);
    EXPECT_FALSE(t.byAddress[0x51].has_value());
    const ModuleRecord* r = moduleAt(t, 0x51);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->address, 0x50);
    EXPECT_EQ(r->frames, 3);
    EXPECT_EQ(r->firstSeen, 900);
    EXPECT_EQ(r->subAddresses[0], 0x51);
    EXPECT_EQ(learn(t, 0x51, "EA 00 00 00 29 2A 00 00").address, 0x50);
    EXPECT_EQ(countModules(t).known, 1);
}

TEST(Frames, ThatNoModuleSentTeachNothing) {
    const struct {
        const char* what;
        Bytes frame;
        bool fromBus;
    } cases[] = {
        {"a client's request", fromModule(0x10, "FF 11 12 34 01 14 20"), false},
        {"a type request on the bus", sim::moduleFrame(kLowPriority, 0x10, {}, true), true},
        {"another host switching a relay", sim::moduleFrame(kHighPriority, 0x10, {0x02, 0x01}), true},
        {"another host asking names", fromModule(0x10, "EF FF"), true},
        {"another host reading memory", fromModule(0x10, "FD 00 E3"), true},
        {"the interface's own word", hexBytes("0F F8 00 01 0B ED 04"), true},
        {"the clock, to every module", fromModule(0x00, "D8 02 13 05"), true},
        {"address FF", fromModule(0xFF, "FB 01 00 00 00 00 00 00"), true},
        {"cut short", Bytes{0x0F, 0xFB, 0x10, 0x07, 0xFF, 0x11}, true},
    };
    for (const auto& c : cases) {
        ModuleTable t;
        const ModuleNews news = learnFromFrame(t, c.frame, c.fromBus, 1000);
        EXPECT_EQ(news.address, 0) << c.what;
        EXPECT_EQ(countModules(t).known, 0) << c.what;
    }
}

TEST(PowerUp, MarksARestartOfTheModuleItNames) {
    ModuleTable t;
    learn(t, 0x10, "FF 11 12 34 01 14 20", 1000);
    const ModuleNews news = learnFromFrame(t, fromModule(0x00, "AB 10"), true, 1500);
    EXPECT_TRUE(news.restarted);
    EXPECT_EQ(news.address, 0x10);
    EXPECT_EQ(moduleAt(t, 0x10)->restarts, 1);
    EXPECT_EQ(moduleAt(t, 0x10)->lastRestart, 1500);
    EXPECT_EQ(moduleAt(t, 0x10)->lastSeen, 1500);
}

TEST(Silence, ComesAfterTheSilentTimeAndEndsWhenHeardAgain) {
    ModuleTable t;
    learn(t, 0x10, "FF 11 12 34 01 14 20", 1000);
    learn(t, 0x20, "FF 15 45 67 01 14 10", 1100);
    EXPECT_EQ(nextSilence(t, 3600), 4600);
    EXPECT_TRUE(markSilent(t, 4599, 3600).empty());
    EXPECT_EQ(markSilent(t, 4600, 3600), std::vector<std::uint8_t>{0x10});
    EXPECT_TRUE(markSilent(t, 4650, 3600).empty());  // said once
    EXPECT_EQ(nextSilence(t, 3600), 4700);
    EXPECT_EQ(markSilent(t, 9000, 3600), std::vector<std::uint8_t>{0x20});
    EXPECT_EQ(countModules(t).silent, 2);
    EXPECT_FALSE(nextSilence(t, 3600));

    const ModuleNews news = learn(t, 0x10, "FB 01 00 00 00 00 00 00", 9100);
    EXPECT_TRUE(news.heardAgain);
    EXPECT_EQ(news.silentFor, 8100);
    EXPECT_FALSE(moduleAt(t, 0x10)->silent);
    EXPECT_EQ(countModules(t).silent, 1);

    // 0: never silent.
    EXPECT_TRUE(markSilent(t, 1'000'000, 0).empty());
    EXPECT_FALSE(nextSilence(t, 0));
}

// The default house answers the scan the service makes; the table then holds every module as
// the house file describes it.
TEST(DefaultHouse, AnsweringAScanFillsTheTable) {
    sim::House house = test::defaultHouse();
    const ModuleTable t = test::scannedHouse(house);
    EXPECT_EQ(countModules(t).known, static_cast<std::int64_t>(house.modules.size()));
    for (const sim::Module& m : house.modules) {
        const ModuleRecord* r = moduleAt(t, m.address);
        ASSERT_NE(r, nullptr) << int(m.address);
        EXPECT_EQ(r->address, m.address);
        EXPECT_EQ(typeText(*r), m.type->name());
        EXPECT_EQ(r->serial, m.serial);
        EXPECT_TRUE(nameComplete(*r)) << m.name;
        EXPECT_EQ(moduleName(*r), m.type->info->nameRanges.empty() ? "" : m.name);
        for (std::size_t ch = 0; ch < m.channelNames.size(); ++ch) {
            const auto it = r->channels.find(static_cast<int>(ch + 1));
            ASSERT_TRUE(it != r->channels.end()) << m.name << " channel " << ch + 1;
            EXPECT_EQ(channelNameText(it->second), m.channelNames[ch]);
        }
        for (const std::uint8_t sub : m.subAddresses) {
            if (sub != 0xFF) {
                EXPECT_EQ(moduleAt(t, sub), r);
            }
        }
    }
}

}  // namespace
}  // namespace tessel
