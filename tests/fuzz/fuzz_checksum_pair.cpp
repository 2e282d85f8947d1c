// The checksum pair of any run is "HH/HH" (or "HH/--" for runs too short to carry one), and a
// correct frame's two halves agree.
#include <cctype>
#include <cstdlib>

#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tessel::ByteRun run(data, size);
    const std::string text = tessel::checksumPairText(run);
    if (text.size() != 5 || text[2] != '/') std::abort();
    if (size < 2 && text.substr(3) != "--") std::abort();
    if (size >= 2) {
        for (char c : text.substr(0, 2) + text.substr(3)) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) || std::islower(static_cast<unsigned char>(c))) std::abort();
        }
        tessel::Bytes fixed(data, data + size);
        fixed[size - 2] = tessel::frameChecksum(fixed, static_cast<std::int64_t>(size) - 3);
        if (!tessel::checksumPair(fixed).agrees()) std::abort();
    }
    return 0;
}
