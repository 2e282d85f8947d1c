// The default simulated house, and a module table that learned it from the answers to a scan
// (types, then each module's details), as the service's own scan asks it.
#pragma once
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "modules/module_table.h"
#include "service/module_scan.h"
#include "tools/sim_house.h"
#include "tools/sim_replies.h"

namespace tessel::test {

inline sim::House defaultHouse() {
    std::ifstream in(TESSEL_DEFAULT_HOUSE);
    sim::House house;
    std::string error;
    EXPECT_TRUE(sim::parseHouse(in, house, error)) << error;
    return house;
}

inline ModuleTable scannedHouse(sim::House& house) {
    ModuleTable t;
    const auto ask = [&](const Bytes& request) {
        for (const Bytes& reply : sim::answer(house, request)) learnFromFrame(t, reply, true, 1000);
    };
    for (unsigned a = 1; a <= 0xFE; ++a) ask(moduleRequest(static_cast<std::uint8_t>(a), true, {}));
    for (const auto& slot : ModuleTable(t).byAddress) {
        if (!slot) continue;
        for (const Bytes& request : detailRequests(*slot)) ask(request);
    }
    return t;
}

}  // namespace tessel::test
