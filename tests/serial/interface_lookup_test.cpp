// The interface found by its USB identity, on a sysfs tree made here as the kernel lays it out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "serial/interface_lookup.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

class InterfaceLookup : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::path(::testing::TempDir()) / ("sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "sys/class/tty");
    }
    void TearDown() override { fs::remove_all(root); }

    // A USB device with its identity, and a terminal `name` on it: a CDC interface right under
    // the device, or (`adapter`) a serial adapter's port one level further down.
    void terminal(const std::string& name, const char* vendor, const char* product, bool adapter = false) {
        const fs::path usb = root / "sys/devices/usb1" / ("1-" + name);
        const fs::path interface = usb / ("1-" + name + ":1.0");
        const fs::path device = adapter ? interface / name : interface;
        fs::create_directories(device);
        std::ofstream(usb / "idVendor") << vendor << "\n";
        std::ofstream(usb / "idProduct") << product << "\n";
        fs::create_directories(root / "sys/class/tty" / name);
        fs::create_symlink(device, root / "sys/class/tty" / name / "device");
    }

    fs::path root;
};

TEST_F(InterfaceLookup, TheFirstVelbusTerminalByName) {
    terminal("ttyACM0", "2341", "0043");              // another maker's board comes first
    terminal("ttyUSB0", "10cf", "0517", true);        // a Velbus serial interface on an adapter
    terminal("ttyACM1", "10cf", "0b1b");              // the Velbus USB interface
    fs::create_directories(root / "sys/class/tty/ttyS0");  // a built-in port, no USB device
    EXPECT_EQ(findVelbusInterface(root.string()), (root / "dev/ttyACM1").string());
    // Every one, in the same order, for a second bridge to take the next.
    EXPECT_EQ(findVelbusInterfaces(root.string()),
              (std::vector<std::string>{(root / "dev/ttyACM1").string(), (root / "dev/ttyUSB0").string()}));
    fs::remove_all(root / "sys/class/tty/ttyACM1");  // unplugged: the other one is found
    EXPECT_EQ(findVelbusInterface(root.string() + "/"), (root / "dev/ttyUSB0").string());
}

TEST_F(InterfaceLookup, EveryVelbusIdentityAndNoOther) {
    const std::pair<const char*, bool> products[] = {{"0b1b", true}, {"0516", true}, {"0517", true},
                                                     {"0518", true}, {"0B1C", true}, {"0519", false},
                                                     {"", false}, {"0b1bx", false}};
    for (const auto& [product, found] : products) {
        fs::remove_all(root / "sys");
        fs::create_directories(root / "sys/class/tty");
        terminal("ttyACM3", "10cf", product);
        EXPECT_EQ(findVelbusInterface(root.string()).has_value(), found) << product;
    }
    fs::remove_all(root / "sys");
    fs::create_directories(root / "sys/class/tty");
    terminal("ttyACM3", "10ce", "0b1b");
    EXPECT_FALSE(findVelbusInterface(root.string()));
    EXPECT_FALSE(findVelbusInterface((root / "nothing-here").string()));
    EXPECT_EQ(velbusIdentitiesText(), "10cf:0b1b, 10cf:0516, 10cf:0517, 10cf:0518, 10cf:0b1c");
}

TEST_F(InterfaceLookup, AUsbCdcTerminalIsToldByItsDriver) {
    terminal("ttyACM0", "10cf", "0b1b");
    terminal("ttyUSB0", "10cf", "0517", true);
    const auto driver = [&](const std::string& name, const std::string& which) {
        const fs::path drivers = root / "sys/bus/usb/drivers" / which;
        fs::create_directories(drivers);
        fs::create_symlink(drivers, fs::read_symlink(root / "sys/class/tty" / name / "device") / "driver");
    };
    driver("ttyACM0", "cdc_acm");
    driver("ttyUSB0", "ftdi_sio");
    fs::create_directories(root / "dev");
    for (const char* name : {"ttyACM0", "ttyUSB0", "ttyS0"}) std::ofstream(root / "dev" / name) << "";
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_symlink(root / "dev/ttyACM0", root / "dev/serial/by-id/usb-interface-if00");
    EXPECT_TRUE(isUsbCdcTerminal((root / "dev/ttyACM0").string(), root.string()));
    EXPECT_TRUE(isUsbCdcTerminal((root / "dev/serial/by-id/usb-interface-if00").string(), root.string()));
    EXPECT_FALSE(isUsbCdcTerminal((root / "dev/ttyUSB0").string(), root.string()));
    EXPECT_FALSE(isUsbCdcTerminal((root / "dev/ttyS0").string(), root.string()));  // a built-in port
    EXPECT_FALSE(isUsbCdcTerminal((root / "dev/missing").string(), root.string()));
}

}  // namespace
}  // namespace tessel
