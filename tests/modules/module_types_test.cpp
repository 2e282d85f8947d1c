// The module types, read from the table the program carries: each type's name, how it names
// its channels, the clients' channel numbers and where its names live, and the table's lines
// that will not do.
#include <gtest/gtest.h>

#include "modules/module_types.h"

namespace tessel {
namespace {

TEST(ModuleTypes, TheTableNamesEachCodeAsTheClientsDo) {
    const struct {
        std::uint8_t code;
        const char* name;
        ChannelNaming naming;
        MemoryRanges moduleName;
        int channel;                 // a clients' channel with its name in memory
        MemoryRanges channelName;    // where
    } table[] = {
        {0x0B, "VMB4PD", ChannelNaming::Bit, {}, 8, {{0x0070, 0x007E}}},
        {0x0C, "VMB1TS", ChannelNaming::Bit, {}, 1, {{0x00F0, 0x00FF}}},
        {0x11, "VMB4RYNO", ChannelNaming::Bit,
         {{0x00E3, 0x00EF}, {0x01E3, 0x01EF}, {0x02E3, 0x02EF}, {0x03E3, 0x03EF}, {0x04E3, 0x04EE}}, 5, {{0x04F0, 0x04FF}}},
        {0x15, "VMBDMI", ChannelNaming::Number, {{0x00B0, 0x00EF}}, 1, {{0x00F0, 0x00FF}}},
        {0x1E, "VMBGP1", ChannelNaming::Number, {{0x03C0, 0x03FF}}, 10, {{0x00E1, 0x00F0}}},
        {0x23, "VMBPIRO-10", ChannelNaming::Number, {{0x00B0, 0x00EF}}, 9, {{0x0080, 0x008F}}},
        {0x28, "VMBGPOD", ChannelNaming::Number, {{0x09BE, 0x09FD}}, 1, {{0x0000, 0x000F}}},
        {0x2A, "VMBPIRM", ChannelNaming::None, {{0x00B0, 0x00EF}}, 0, {}},
        {0x41, "VMB1RYS", ChannelNaming::Bit,
         {{0x00DD, 0x00E9}, {0x01DD, 0x01E9}, {0x02DD, 0x02E9}, {0x03DD, 0x03E9}, {0x04DD, 0x04E8}}, 6,
         {{0x00EA, 0x00EF}, {0x01EA, 0x01EF}, {0x02EA, 0x02ED}}},
        {0x61, "VMB2BLE-20", ChannelNaming::Bit, {{0x07BC, 0x07FB}}, 2, {{0x001C, 0x002B}}},
    };
    for (const auto& row : table) {
        const ModuleTypeInfo* t = findModuleType(row.code);
        ASSERT_NE(t, nullptr) << row.name;
        EXPECT_EQ(t->name, row.name);
        EXPECT_EQ(t->naming, row.naming) << row.name;
        EXPECT_EQ(t->nameRanges, row.moduleName) << row.name;
        if (row.channel != 0) {
            ASSERT_EQ(t->channelNameRanges.count(row.channel), 1u) << row.name;
            EXPECT_EQ(t->channelNameRanges.at(row.channel), row.channelName) << row.name;
        } else {
            EXPECT_TRUE(t->channelNameRanges.empty()) << row.name;
        }
        EXPECT_EQ(findModuleTypeNamed(row.name), t);
    }
    EXPECT_EQ(findModuleType(0x2C)->name, "VMBPIRO");  // not "VMBVP1"
    EXPECT_EQ(findModuleType(0x58), nullptr);           // a code the clients do not know
    EXPECT_EQ(moduleTypeText(0x58), "type $58");
    EXPECT_EQ(findModuleType(0x0C)->serialAt, 3);       // the sensor's zone comes first
    EXPECT_EQ(findModuleType(0x1E)->channels, 9);
}

TEST(ModuleTypes, ClientsNumberSomeChannelsOtherwise) {
    const ModuleTypeInfo& panel = *findModuleType(0x1E);
    EXPECT_EQ(clientChannel(panel, 9), 10);
    EXPECT_EQ(clientChannel(panel, 3), 3);
    EXPECT_EQ(busChannel(panel, 10), 9);
    const ModuleTypeInfo& blind = *findModuleType(0x03);
    EXPECT_EQ(clientChannel(blind, 3), 1);
    EXPECT_EQ(busChannel(blind, 1), 3);
}

TEST(ModuleTypes, ATableLineThatWillNotDoIsNamed) {
    const struct {
        const char* what;
        std::string table;
        std::size_t types;
        std::string error;
    } table[] = {
        {"comments and a good line", "# code\ttype\n11\tVMB4RYNO\tbit\t-\t1=00F0-00FF\t00E3-00EF;01E3-01EF\n", 1, ""},
        {"Windows line ends", "11\tVMB4RYNO\tbit\t-\t-\t-\r\n", 1, ""},
        {"five fields", "11\tVMB4RYNO\tbit\t-\t-\n", 0, "line 1 does not read"},
        {"a code of three digits", "111\tX\tbit\t-\t-\t-\n", 0, "line 1 does not read"},
        {"a naming unknown", "\n11\tX\tletter\t-\t-\t-\n", 0, "line 2 does not read"},
        {"a range backwards", "11\tX\tbit\t-\t-\t00EF-00E3\n", 0, "line 1 does not read"},
        {"a range of three digits", "11\tX\tbit\t-\t1=0F0-0FF\t-\n", 0, "line 1 does not read"},
        {"a map without its arrow", "11\tX\tnumber\t9-10\t-\t-\n", 0, "line 1 does not read"},
        {"a channel without its ranges", "11\tX\tbit\t-\t1=\t-\n", 0, "line 1 does not read"},
    };
    for (const auto& row : table) {
        std::string error;
        EXPECT_EQ(readModuleTypes(row.table, error).size(), row.types) << row.what;
        EXPECT_EQ(error, row.error) << row.what;
    }
}

}  // namespace
}  // namespace tessel
