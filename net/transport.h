// What a client connection is carried over when it is not plain TCP (TLS): the server's
// connections use it instead of the socket calls. Every call returns at once.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace tessel {

class Transport {
public:
    enum class Progress { Done, WantRead, WantWrite, Failed };
    virtual ~Transport() = default;
    // Advances the opening exchange.
    virtual Progress handshake() = 0;
    // As recv() and send(): a count, 0 when the peer closed, -1 with errno EAGAIN when nothing
    // can be done now, -1 with another errno when the connection failed.
    virtual ssize_t receive(std::uint8_t* buffer, std::size_t size) = 0;
    virtual ssize_t send(const std::uint8_t* data, std::size_t size) = 0;
    // Received bytes held inside the transport, which the socket's readiness does not show.
    virtual bool hasBuffered() const = 0;
};

// Makes the transport of a newly accepted socket.
using TransportFactory = std::function<std::unique_ptr<Transport>(int fd)>;

}  // namespace tessel
