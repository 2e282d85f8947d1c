// Runs the bridge's passes for tests, with real clients on loopback; every loop is bounded.
#pragma once
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>

#include "bridge/bridge.h"
#include "support/loopback.h"

namespace tessel::test {

class PassDriver {
public:
    PassDriver(Bridge& bridge, Shell& shell) : bridge_(bridge), shell_(shell) {}

    // The bridge on `device`, its server on a free port, its timers started.
    void start(const std::string& device) {
        initNetwork(bridge_.net);
        bridge_.config.serialPortName = device;
        ASSERT_NE(openVelbusPort(bridge_.serial, 0, device), 0);
        ASSERT_NE(createServer(bridge_.net, 0, 0), 0);
        bridge_.config.ethernetPort = serverPort(bridge_.net, 0);
        bridge_.stats.lastStatsMillis = bridge_.clock.elapsedMillis();
        bridge_.lastSweepMillis = bridge_.clock.elapsedMillis();
    }

    // Runs passes until `done` holds or about `ms` milliseconds passed.
    bool runUntil(const std::function<bool()>& done, int ms = 3000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            if (runPass(bridge_, shell_) == PassResult::End) return done();
            if (done()) return true;
        }
        return false;
    }
    // A client, once the bridge has taken it in.
    UniqueFd connect() {
        UniqueFd c = connectClient(static_cast<std::uint16_t>(bridge_.config.ethernetPort));
        const std::size_t before = bridge_.clientTable.size();
        EXPECT_TRUE(runUntil([&] { return bridge_.clientTable.size() > before; }));
        return c;
    }
    // Runs passes while a client collects what the bridge sends it.
    Bytes collect(const UniqueFd& c, std::size_t want) {
        Bytes got;
        runUntil([&] {
            std::uint8_t buf[256];
            const ssize_t n = ::recv(c.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.insert(got.end(), buf, buf + n);
            return got.size() >= want;
        });
        return got;
    }

private:
    Bridge& bridge_;
    Shell& shell_;
};

}  // namespace tessel::test
