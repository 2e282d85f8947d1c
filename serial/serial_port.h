// The serial port layer: non-blocking, raw, and silent. Failures come back as 0; the caller
// decides what the operator is told.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace tessel {

constexpr int kAllSerialPorts = -1;

struct SerialPortTable {
    std::map<int, UniqueFd> ports;
};

// Returns the open descriptor (nonzero) or 0. An absent name, a speed outside the standard list,
// data bits outside 5..8 or a handshake outside 0..3 fail without touching the device. When
// `number` is already open, the earlier port is closed only once the new one is configured.
int openSerialPort(SerialPortTable& table, int number, const std::optional<std::string>& name,
                   int speed, int parity, int dataBits, float stopBits, int handshake,
                   int inputBufferSize, int outputBufferSize);

// The settings every caller of this bridge uses: 9600 bit/s, 8N1, no handshake.
int openVelbusPort(SerialPortTable& table, int number, const std::string& name);

std::int64_t serialInputAvailable(const SerialPortTable& table, int number);
// `gone`, when given, is set when the device will never deliver again: end of file (a plain
// file, a hung-up line) or an error other than "nothing waiting" (a pulled USB adapter).
std::int64_t readSerialPort(const SerialPortTable& table, int number, std::uint8_t* buffer,
                            std::int64_t size, bool* gone = nullptr);
std::int64_t writeSerialPort(const SerialPortTable& table, int number, const std::uint8_t* data,
                             std::int64_t length);
void closeSerialPort(SerialPortTable& table, int number);

// The descriptor of an open port, or -1; the event wait watches it.
int serialDescriptor(const SerialPortTable& table, int number);

}  // namespace tessel
