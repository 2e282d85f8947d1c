// The Velbus interface found by what it is, its USB identity, rather than by a device name, which
// changes when it is plugged in again while open or another USB serial device comes first.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessel {

struct UsbIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
};

// The Velbus USB and serial interfaces.
constexpr std::array<UsbIdentity, 5> kVelbusInterfaces{{
    {0x10CF, 0x0B1B}, {0x10CF, 0x0516}, {0x10CF, 0x0517}, {0x10CF, 0x0518}, {0x10CF, 0x0B1C}}};

// The first terminal by name under ROOT/sys/class/tty whose USB device (the parent of its
// interface, or of its port on a serial adapter) has one of those identities, as ROOT/dev/NAME;
// nothing when none. ROOT is "/" but in tests, which make a tree of their own.
std::optional<std::string> findVelbusInterface(const std::string& root = "/");
// Every such terminal, in the same order.
std::vector<std::string> findVelbusInterfaces(const std::string& root = "/");

// Whether `device` (a path, a link such as /dev/serial/by-id/... followed) is a terminal of the
// USB CDC driver, which ignores the line rate and the modem lines. ROOT as above.
bool isUsbCdcTerminal(const std::string& device, const std::string& root = "/");

// "10cf:0b1b, 10cf:0516, 10cf:0517, 10cf:0518, 10cf:0b1c"
std::string velbusIdentitiesText();

}  // namespace tessel
