// What a browser or a client can put into the web monitor's texts: a Last-Event-ID of any bytes
// is read back or refused without reading outside it, and any 8-bit text in a monitor line
// becomes valid UTF-8 JSON with no raw control character, so the event stream stays whole.
#include <cstdlib>
#include <string>

#include "web/json.h"
#include "web/web_monitor.h"

namespace {

// Valid UTF-8, and no byte below 0x20 outside an escape.
void checkJsonString(const std::string& s) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') std::abort();
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) std::abort();
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) std::abort();
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) std::abort();
        }
        i += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    tessel::WebMonitor web("run");
    tessel::MonitorLine line;
    line.cells = {input, input, "1", "00/00", input};
    web.monitorList().insertTop(line);
    web.takeBatch();
    web.monitorList().insertTop(line);

    const std::int64_t seen = tessel::eventSequence(input, "run");
    if (seen < -1) std::abort();
    const std::string event = web.snapshotEvent(input);
    // One event: its data on one line, ended by a blank line.
    const auto dataLine = event.find("\ndata: ");
    if (dataLine == std::string::npos || event.find('\n', dataLine + 7) != event.size() - 2) std::abort();
    checkJsonString(tessel::jsonLatin9(input));
    return 0;
}
