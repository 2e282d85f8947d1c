#include "app/icons.h"

#include <png.h>

#include <cstring>
#include <vector>

namespace tessel {

GdkPixbuf* decodePng(const std::uint8_t* data, std::size_t size) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size)) return nullptr;
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return nullptr;
    }
    const int width = static_cast<int>(image.width);
    const int height = static_cast<int>(image.height);
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    if (pixbuf == nullptr) return nullptr;
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* dst = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < height; ++y) {
        std::memcpy(dst + y * stride, pixels.data() + static_cast<std::size_t>(y * width * 3),
                    static_cast<std::size_t>(width * 3));
    }
    return pixbuf;
}

}  // namespace tessel
