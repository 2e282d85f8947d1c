// Draws the six icons of the window as 8-bit RGB PNG files on a white background, and the
// program's own 48 x 48 icon for the desktop menu; with --addon, the same icon as the add-on's
// store icon (128 x 128) and logo (250 x 100) instead.
//   make_icons OUTPUT_DIRECTORY
//   make_icons --addon OUTPUT_DIRECTORY
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};
constexpr Rgb kWhite{255, 255, 255};

struct Picture {
    int size;  // the height; the width too, but for a logo
    int width;
    std::vector<Rgb> px;
    explicit Picture(int s, int w = 0) : size(s), width(w > 0 ? w : s), px(static_cast<std::size_t>(s * width), kWhite) {}
    void set(int x, int y, Rgb c) {
        if (x >= 0 && y >= 0 && x < width && y < size) px[static_cast<std::size_t>(y * width + x)] = c;
    }
};

void disc(Picture& p, Rgb c) {
    const double centre = (p.size - 1) / 2.0, radius = p.size / 2.0 - 0.5;
    for (int y = 0; y < p.size; ++y)
        for (int x = 0; x < p.size; ++x)
            if (std::hypot(x - centre, y - centre) <= radius) p.set(x, y, c);
}

// A horizontal arrow through row `y`: a shaft from x0 to x1 and a head at the pointing end.
void arrow(Picture& p, int x0, int x1, int y, bool right, int head, Rgb c, int thick) {
    for (int x = x0; x <= x1; ++x)
        for (int t = 0; t < thick; ++t) p.set(x, y + t, c);
    const int tip = right ? x1 : x0;
    for (int k = 1; k <= head; ++k) {
        const int x = right ? tip - k : tip + k;
        for (int t = -k; t < thick + k; ++t) p.set(x, y + t, c);
    }
}

bool save(const Picture& p, const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(p.width);
    image.height = static_cast<png_uint_32>(p.size);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, p.px.data(), 0, nullptr) != 0;
}

Picture statusIcon(Rgb discColour, bool right) {
    Picture p(16);
    disc(p, discColour);
    arrow(p, 4, 11, 7, right, 3, kWhite, 2);
    return p;
}

Picture clientIcon(Rgb top, Rgb bottom, bool broken) {
    Picture p(12);
    arrow(p, 1, 10, 2, false, 2, top, 2);
    arrow(p, 1, 10, 8, true, 2, bottom, 2);
    if (broken) {
        for (int y = 0; y < 12; ++y)
            for (int x = 5; x <= 6; ++x) p.set(x, y, Rgb{192, 192, 192});
    }
    return p;
}

// The two opposed arrows of a connected client, white on a green disc: drawn at 48 x 48 and
// at any other size in the same proportions.
Picture programIcon(int size = 48) {
    Picture p(size);
    disc(p, Rgb{0, 119, 0});
    const auto at = [size](int v) { return static_cast<int>(std::lround(v * size / 48.0)); };
    arrow(p, at(9), at(38), at(14), false, at(7), kWhite, at(5));
    arrow(p, at(9), at(38), at(29), true, at(7), kWhite, at(5));
    return p;
}

// The icon at the logo's height, at its left, on a white band.
Picture logo() {
    Picture p(100, 250);
    const Picture icon = programIcon(100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) p.set(x, y, icon.px[static_cast<std::size_t>(y * 100 + x)]);
    return p;
}

bool saveAll(const std::string& dir, const std::vector<std::pair<const char*, Picture>>& pictures) {
    for (const auto& [name, picture] : pictures) {
        const std::string path = dir + "/" + name + ".png";
        if (!save(picture, path)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--addon") {
        return saveAll(argv[2], {{"icon", programIcon(128)}, {"logo", logo()}}) ? 0 : 1;
    }
    const std::string dir = argc > 1 ? argv[1] : ".";
    const Rgb red{255, 0, 0}, blue{0, 0, 255}, green{136, 233, 0};
    return saveAll(dir, {
        {"client_error", statusIcon(red, true)},
        {"client_frame", statusIcon(blue, true)},
        {"bus_error", statusIcon(red, false)},
        {"bus_frame", statusIcon(green, false)},
        {"client_on", clientIcon(Rgb{131, 174, 0}, blue, false)},
        {"client_off", clientIcon(Rgb{141, 141, 141}, Rgb{28, 28, 28}, true)},
        {"tessel-server", programIcon()},
    }) ? 0 : 1;
}
