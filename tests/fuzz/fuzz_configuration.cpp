// Any configuration file reads without fault; the device name never holds a line end.
#include <cstdlib>
#include <string_view>

#include "bridge/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const tessel::Configuration c = tessel::parseConfiguration(content);
    if (c.serialPortName.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) std::abort();
    if (c.serialPortName.size() > size) std::abort();
    tessel::parseNumber(content);
    return 0;
}
