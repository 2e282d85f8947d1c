// A pseudo-terminal pair standing in for the Velbus interface.
#pragma once
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "protocol/frame.h"

namespace tessel::test {

struct Pty {
    UniqueFd master;
    UniqueFd slave;  // held open so the device stays usable while the bridge reopens it
    std::string path;

    Pty() {
        int m = -1, s = -1;
        char name[256];
        if (openpty(&m, &s, name, nullptr, nullptr) == 0) {
            master.reset(m);
            slave.reset(s);
            path = name;
            fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
        }
    }

    void write(const Bytes& bytes) const {
        std::size_t at = 0;
        for (int tries = 0; at < bytes.size() && tries < 1000; ++tries) {
            const ssize_t n = ::write(master.get(), bytes.data() + at, bytes.size() - at);
            if (n > 0) at += static_cast<std::size_t>(n);
        }
    }

    // Reads what the bridge wrote to the bus, waiting up to `ms` for `want` bytes.
    Bytes read(std::size_t want, int ms = 2000) const {
        Bytes out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < want && std::chrono::steady_clock::now() < until) {
            std::uint8_t buf[256];
            const ssize_t n = ::read(master.get(), buf, sizeof buf);
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return out;
    }
};


}  // namespace tessel::test
