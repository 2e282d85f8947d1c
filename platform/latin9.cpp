#include "platform/latin9.h"

#include <iconv.h>

namespace tessel {

std::string latin9ToUtf8(const std::string& text) {
    // Every byte is a character of ISO-8859-15, so the conversion never fails part way.
    static const iconv_t converter = iconv_open("UTF-8", "ISO-8859-15");
    std::string out(text.size() * 3, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* to = out.data();
    std::size_t toLeft = out.size();
    if (converter == reinterpret_cast<iconv_t>(-1) ||
        iconv(converter, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1)) {
        return text;
    }
    out.resize(out.size() - toLeft);
    return out;
}

}  // namespace tessel
