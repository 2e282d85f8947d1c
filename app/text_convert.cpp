#include "app/text_convert.h"

#include <glib.h>

namespace tessel {

namespace {

// One converter each way for the whole run: opening one per text costs more than converting it.
struct Converters {
    GIConv toUtf8 = g_iconv_open("UTF-8", "ISO-8859-15");
    GIConv fromUtf8 = g_iconv_open("ISO-8859-15", "UTF-8");
};

Converters& converters() {
    static Converters c;
    return c;
}

}  // namespace

std::string toUtf8(const std::string& iso) {
    gsize written = 0;
    gchar* out = g_convert_with_iconv(iso.data(), static_cast<gssize>(iso.size()),
                                      converters().toUtf8, nullptr, &written, nullptr);
    if (out == nullptr) return "";
    std::string result(out, written);
    g_free(out);
    return result;
}

std::string fromUtf8(const char* utf8) {
    if (utf8 == nullptr) return "";
    // Characters without a single-byte form become "?".
    gsize written = 0;
    gchar* out = g_convert_with_fallback(utf8, -1, "ISO-8859-15", "UTF-8", "?", nullptr,
                                         &written, nullptr);
    if (out == nullptr) return "";
    std::string result(out, written);
    g_free(out);
    return result;
}

}  // namespace tessel
