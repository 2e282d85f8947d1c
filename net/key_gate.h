// The shared key a client must send before anything else: until all of its bytes have come,
// none of the client's bytes count as traffic. The bytes are compared only once as many as the
// key holds have come, and in a time that does not depend on them.
#pragma once
#include <cstddef>
#include <string>

#include "protocol/frame.h"

namespace tessel {

// Shorter keys are refused at the start: they can be guessed.
constexpr std::size_t kMinimumKeyLength = 16;

class KeyGate {
public:
    enum class State { Waiting, Admitted, Refused };

    explicit KeyGate(std::string key) : key_(std::move(key)) { got_.reserve(key_.size()); }

    // Takes the client's next bytes and returns how many of them belong to the key: once the
    // gate is Admitted, the rest of `bytes` is the client's first traffic.
    std::size_t take(ByteRun bytes);
    State state() const { return state_; }
    // How many of the key's bytes have come, and how many it has: a client that sent part of
    // the key is told apart from one that sent nothing, without saying what it sent.
    std::size_t received() const { return got_.size(); }
    std::size_t keyLength() const { return key_.size(); }

private:
    std::string key_;
    std::string got_;
    State state_ = State::Waiting;
};

// True when the two are equal; the time taken depends on their length only.
bool sameBytes(const std::string& a, const std::string& b);

}  // namespace tessel
