#include "modules/module_types.h"

#include <array>

#include "protocol/frame.h"

namespace tessel {

namespace {

using Ranges = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
constexpr ChannelNaming B = ChannelNaming::Bit;
constexpr ChannelNaming N = ChannelNaming::Number;

// The relay modules keep their name in the tail of each of five memory banks.
const Ranges kRelayName{{0x00E3, 0x00EF}, {0x01E3, 0x01EF}, {0x02E3, 0x02EF}, {0x03E3, 0x03EF}, {0x04E3, 0x04EE}};

// The public list of module types, by code. The glass panels and the newer families name their
// channels by number; the older modules by a bit of a mask.
const std::vector<ModuleTypeInfo>& typeList() {
    static const std::vector<ModuleTypeInfo> kTypes{
        {0x01, "VMB8PB", B, 2, {}},
        {0x02, "VMB1RY", B, 2, {}},
        {0x03, "VMB1BL", B, 2, {}},
        {0x05, "VMB6IN", B, 2, {}},
        {0x07, "VMB1DM", B, 2, {}},
        {0x08, "VMB4RY", B, 2, {}},
        {0x09, "VMB2BL", B, 2, {}},
        {0x0A, "VMB8IR", B, 2, {}},
        {0x0B, "VMB4PD", B, 2, {}, 8},
        {0x0C, "VMB1TS", N, 3, {}, 1},
        {0x0D, "VMB1TH", N, 2, {}},
        {0x0E, "VMB1TC", N, 2, {}},
        {0x0F, "VMB1LED", B, 2, {}},
        {0x10, "VMB4RYLD", B, 2, kRelayName, 5},
        {0x11, "VMB4RYNO", B, 2, kRelayName, 5},
        {0x12, "VMB4DC", B, 2, {}},
        {0x13, "VMBLCDWB", B, 2, {}},
        {0x14, "VMBDME", N, 2, {}},
        {0x15, "VMBDMI", N, 2, {{0x00B0, 0x00EF}}, 1},
        {0x16, "VMB8PBU", B, 2, {}},
        {0x17, "VMB6PBN", B, 2, {}},
        {0x18, "VMB2PBN", B, 2, {}},
        {0x19, "VMB6PBB", B, 2, {}},
        {0x1A, "VMB4RF", B, 2, {}},
        {0x1B, "VMB1RYNO", B, 2, {}},
        {0x1C, "VMB1BLE", B, 2, {}},
        {0x1D, "VMB2BLE", B, 2, {{0x004C, 0x008B}}, 2},
        {0x1E, "VMBGP1", N, 2, {{0x03C0, 0x03FF}}, 9},
        {0x1F, "VMBGP2", N, 2, {}},
        {0x20, "VMBGP4", N, 2, {}},
        {0x21, "VMBGPO", N, 2, {}},
        {0x22, "VMB7IN", B, 2, {{0x03AC, 0x03EB}}, 8},
        {0x23, "VMBGPOD", N, 2, {}},
        {0x24, "VMB1RYNOS", B, 2, {}},
        {0x25, "VMBPIRM", N, 2, {}},
        {0x26, "VMBPIRC", N, 2, {}},
        {0x27, "VMBPIRO", N, 2, {}},
        {0x28, "VMBGP4PIR", N, 2, {}},
        {0x29, "VMB1BLS", B, 2, {}},
        {0x2A, "VMBDMI-R", N, 2, {}},
        {0x2B, "VMBMETEO", N, 2, {}},
        {0x2C, "VMBVP1", N, 2, {}},
        {0x2D, "VMBEL1", N, 2, {}},
        {0x2E, "VMBEL2", N, 2, {}},
        {0x2F, "VMBEL4", N, 2, {}},
        {0x30, "VMBELO", N, 2, {}},
        {0x31, "VMBELPIR", N, 2, {}},
        {0x32, "VMBSIG", N, 2, {}},
        {0x33, "VMBGP1-2", N, 2, {}},
        {0x34, "VMBGP2-2", N, 2, {}},
        {0x35, "VMBGP4-2", N, 2, {}},
        {0x36, "VMBGPOD-2", N, 2, {}},
        {0x37, "VMBGP4PIR-2", N, 2, {}},
        {0x38, "VMCM3", N, 2, {}},
        {0x39, "VMBUSBIP", N, 2, {}},
        {0x3A, "VMB1RYS", B, 2, {}},
        {0x3B, "VMBKP", N, 2, {}},
        {0x3C, "VMBIN", N, 2, {}},
        {0x3D, "VMB4PB", N, 2, {}},
        {0x3E, "VMBDALI", N, 2, {}},
        {0x3F, "VMB4RYLD-10", N, 2, {}},
        {0x40, "VMB4RYNO-10", N, 2, {}},
        {0x41, "VMB2BLE-10", N, 2, {}},
        {0x42, "VMB8DC-20", N, 2, {}},
        {0x43, "VMB6PB-20", N, 2, {}},
        {0x44, "VMBEL1-20", N, 2, {}},
        {0x45, "VMBEL2-20", N, 2, {}},
        {0x46, "VMBEL4-20", N, 2, {}},
        {0x47, "VMBELO-20", N, 2, {}},
        {0x48, "VMBGP1-20", N, 2, {}},
        {0x49, "VMBGP2-20", N, 2, {}},
        {0x4A, "VMBGP4-20", N, 2, {}},
        {0x4B, "VMBGPO-20", N, 2, {}},
        {0x4C, "VMBDALI-20", N, 2, {}},
    };
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

const ModuleTypeInfo* findModuleType(std::uint8_t code) { return byCode()[code]; }

std::string moduleTypeText(std::uint8_t code) {
    if (const ModuleTypeInfo* t = findModuleType(code)) return t->name;
    return "type " + addressText(code);
}

std::size_t nameLength(const ModuleTypeInfo& type) {
    std::size_t n = 0;
    for (const auto& [first, last] : type.nameRanges) n += static_cast<std::size_t>(last - first + 1);
    return n;
}

}  // namespace tessel
