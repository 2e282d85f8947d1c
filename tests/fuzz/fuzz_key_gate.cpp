// Any bytes, cut anywhere, against a key: the gate admits exactly when the first bytes are the
// key, never takes more than the key's length, and never reads outside a run.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "net/key_gate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t keyLength = 1 + data[0] % 32;
    const std::size_t cut = data[1];
    data += 2;
    size -= 2;
    const std::string key = std::string("k3y-for-the-fuzzer-0123456789abcdef").substr(0, keyLength);
    tessel::KeyGate gate(key);
    std::size_t taken = 0;
    std::size_t at = 0;
    while (at < size && gate.state() == tessel::KeyGate::State::Waiting) {
        const std::size_t piece = std::min(size - at, 1 + cut % 7);
        taken += gate.take(tessel::ByteRun(data + at, piece));
        at += piece;
    }
    if (taken > key.size()) std::abort();
    const bool complete = size >= key.size();
    const bool matches = complete && std::string(reinterpret_cast<const char*>(data), key.size()) == key;
    const auto expected = !complete ? tessel::KeyGate::State::Waiting
                          : matches ? tessel::KeyGate::State::Admitted
                                    : tessel::KeyGate::State::Refused;
    if (gate.state() != expected) std::abort();
    return 0;
}
