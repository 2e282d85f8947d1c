// The program's texts are ISO-8859-15; the toolkit's are UTF-8. Converted where they cross.
#pragma once
#include <string>

namespace tessel {

std::string toUtf8(const std::string& iso);
// Characters without a single-byte form become "?".
std::string fromUtf8(const char* utf8);

}  // namespace tessel
