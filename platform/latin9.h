// The program's texts are ISO-8859-15 inside; what leaves for the journal or a browser is UTF-8.
#pragma once
#include <string>

namespace tessel {

// ISO-8859-15 as UTF-8, through the C library's iconv (no toolkit needed).
std::string latin9ToUtf8(const std::string& text);

}  // namespace tessel
