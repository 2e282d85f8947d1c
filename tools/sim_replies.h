// What the simulated modules answer, as real ones do: the frames a module sends for a frame it
// received, and what the house does of itself (its power-up, a button pressed, a temperature).
// Every answer goes at low priority; unknown requests get none.
#pragma once
#include <vector>

#include "protocol/commands.h"
#include "protocol/frame.h"
#include "tools/sim_house.h"

namespace tessel::sim {

Bytes moduleFrame(std::uint8_t priority, std::uint8_t address, const Bytes& data, bool rtr = false);

// The answers to a sound frame from the bus's other side, in the order they go out; its
// commands change the house (a relay switched, a dimmer set).
std::vector<Bytes> answer(House& house, const Bytes& frame);
// What every module says when it starts.
std::vector<Bytes> powerUp(const House& house);
// A push button's press or release, from the module at `address`.
Bytes buttonFrame(const Module& panel, std::uint8_t channelBit, bool pressed);
// A relay's status after it changed, as its module tells it.
Bytes relayStatus(const Module& relays, int channel);
// A thermometer's reading.
Bytes temperatureFrame(const Module& module);

}  // namespace tessel::sim
