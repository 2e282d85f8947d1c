// JSON strings for the web page. The program's texts are ISO-8859-15 inside; a browser gets
// UTF-8.
#pragma once
#include <string>
#include <string_view>

namespace tessel {

// `utf8` as a JSON string, quotes included: control characters, quotes and backslashes escaped.
std::string jsonString(std::string_view utf8);
// The same for an ISO-8859-15 text, converted to UTF-8 first ("°C" reads right).
std::string jsonLatin9(const std::string& latin9);

}  // namespace tessel
