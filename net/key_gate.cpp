#include "net/key_gate.h"

#include <algorithm>

namespace tessel {

bool sameBytes(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

std::size_t KeyGate::take(ByteRun bytes) {
    if (state_ != State::Waiting) return 0;
    const std::size_t n = std::min(bytes.size(), key_.size() - got_.size());
    got_.append(reinterpret_cast<const char*>(bytes.data()), n);
    if (got_.size() == key_.size()) state_ = sameBytes(got_, key_) ? State::Admitted : State::Refused;
    return n;
}

}  // namespace tessel
