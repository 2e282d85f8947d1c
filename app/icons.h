// The six icons, carried inside the binary as PNG data and decoded at start-up.
#pragma once
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstddef>
#include <cstdint>

namespace tessel {

struct EmbeddedIcon {
    const std::uint8_t* data;
    std::size_t size;
};
// Images 0 to 5: client error, client frame, bus error, bus frame, client on, client off.
extern const EmbeddedIcon kEmbeddedIcons[6];

// A new pixbuf (the caller owns it), or nullptr when the data is not a PNG.
GdkPixbuf* decodePng(const std::uint8_t* data, std::size_t size);

}  // namespace tessel
