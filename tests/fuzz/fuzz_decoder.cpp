// Any run decodes without reading outside it; a client run's text starts with its address.
#include <cstdlib>

#include "protocol/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tessel::ByteRun run(data, size);
    const auto length = static_cast<std::int64_t>(size);
    const std::string bus = tessel::decodeMessage("VMB", run, length);
    const std::string client = tessel::decodeMessage("IP", run, length);
    if (client.size() < 4 || client[0] != '$' || client[3] != ' ') std::abort();
    if (client.compare(4, std::string::npos, bus) != 0) std::abort();
    return 0;
}
