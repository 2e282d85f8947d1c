// The page and what it loads (its style, its script, the monitor's and the client list's icons),
// carried inside the binary so the page works on a network without internet.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessel {

struct WebAsset {
    const char* path;  // "/", "/page.js", "/icons/3.png"
    const char* contentType;
    const std::uint8_t* data;
    std::size_t size;
};

// Nothing when no asset has that path.
const WebAsset* findWebAsset(std::string_view path);

}  // namespace tessel
