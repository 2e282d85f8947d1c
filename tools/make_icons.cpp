// Draws the six icons of the window as 8-bit RGB PNG files on a white background, and the
// program's own 48 x 48 icon for the desktop menu.
//   make_icons OUTPUT_DIRECTORY
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};
constexpr Rgb kWhite{255, 255, 255};

struct Picture {
    int size;
    std::vector<Rgb> px;
    explicit Picture(int s) : size(s), px(static_cast<std::size_t>(s * s), kWhite) {}
    void set(int x, int y, Rgb c) {
        if (x >= 0 && y >= 0 && x < size && y < size) px[static_cast<std::size_t>(y * size + x)] = c;
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
    image.width = static_cast<png_uint_32>(p.size);
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

// The two opposed arrows of a connected client, white on a green disc.
Picture programIcon() {
    Picture p(48);
    disc(p, Rgb{0, 119, 0});
    arrow(p, 9, 38, 14, false, 7, kWhite, 5);
    arrow(p, 9, 38, 29, true, 7, kWhite, 5);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    const Rgb red{255, 0, 0}, blue{0, 0, 255}, green{136, 233, 0};
    struct Named {
        const char* name;
        Picture picture;
    };
    const Named icons[] = {
        {"client_error", statusIcon(red, true)},
        {"client_frame", statusIcon(blue, true)},
        {"bus_error", statusIcon(red, false)},
        {"bus_frame", statusIcon(green, false)},
        {"client_on", clientIcon(Rgb{131, 174, 0}, blue, false)},
        {"client_off", clientIcon(Rgb{141, 141, 141}, Rgb{28, 28, 28}, true)},
        {"tessel-server", programIcon()},
    };
    for (const auto& icon : icons) {
        const std::string path = dir + "/" + icon.name + ".png";
        if (!save(icon.picture, path)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
