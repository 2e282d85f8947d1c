#include "web/json.h"

#include "platform/latin9.h"

namespace tessel {

std::string jsonString(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string jsonLatin9(const std::string& latin9) { return jsonString(latin9ToUtf8(latin9)); }

}  // namespace tessel
