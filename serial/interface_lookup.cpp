#include "serial/interface_lookup.h"

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <vector>

namespace tessel {

namespace {

// A sysfs attribute holding a hexadecimal number ("10cf\n").
std::optional<std::uint16_t> hexAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text.empty() || text.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

bool isVelbus(const std::string& usbDevice) {
    const auto vendor = hexAttribute(usbDevice + "/idVendor");
    const auto product = hexAttribute(usbDevice + "/idProduct");
    if (!vendor || !product) return false;
    return std::any_of(kVelbusInterfaces.begin(), kVelbusInterfaces.end(),
                       [&](const UsbIdentity& id) { return id.vendor == *vendor && id.product == *product; });
}

std::vector<std::string> terminalNames(const std::string& classDir) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(classDir.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::vector<std::string> findVelbusInterfaces(const std::string& root) {
    const std::string top = root.empty() || root.back() == '/' ? root : root + "/";
    const std::string classDir = top + "sys/class/tty";
    std::vector<std::string> found;
    for (const std::string& name : terminalNames(classDir)) {
        const std::string device = classDir + "/" + name + "/device";
        // A CDC interface (ttyACM) sits right under its USB device; a serial adapter's port
        // (ttyUSB) one level further down.
        if (isVelbus(device + "/..") || isVelbus(device + "/../..")) found.push_back(top + "dev/" + name);
    }
    return found;
}

std::optional<std::string> findVelbusInterface(const std::string& root) {
    const auto found = findVelbusInterfaces(root);
    if (found.empty()) return std::nullopt;
    return found.front();
}

bool isUsbCdcTerminal(const std::string& device, const std::string& root) {
    char* real = ::realpath(device.c_str(), nullptr);
    const std::string resolved = real != nullptr ? real : device;
    std::free(real);
    const std::string name = resolved.substr(resolved.find_last_of('/') + 1);
    if (name.empty()) return false;
    const std::string top = root.empty() || root.back() == '/' ? root : root + "/";
    char* driver = ::realpath((top + "sys/class/tty/" + name + "/device/driver").c_str(), nullptr);
    const std::string driverPath = driver != nullptr ? driver : "";
    std::free(driver);
    return driverPath.size() >= 8 && driverPath.compare(driverPath.size() - 8, 8, "/cdc_acm") == 0;
}

std::string velbusIdentitiesText() {
    std::string text;
    for (const UsbIdentity& id : kVelbusInterfaces) {
        char one[16];
        std::snprintf(one, sizeof one, "%04x:%04x", id.vendor, id.product);
        text += (text.empty() ? "" : ", ") + std::string(one);
    }
    return text;
}

}  // namespace tessel
