// The serial port layer: non-blocking, raw, and silent. Failures come back as 0; the caller
// decides what the operator is told.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace tessel {

constexpr int kAllSerialPorts = -1;

struct SerialPortTable {
    std::map<int, UniqueFd> ports;
    std::set<int> heldAlone;  // the numbers opened exclusively, whose hold the close lets go
};

// Returns the open descriptor (nonzero) or 0. An absent name, a speed outside the standard list,
// data bits outside 5..8 or a handshake outside 0..3 fail without touching the device. When
// `number` is already open, the earlier port is closed only once the new one is configured.
int openSerialPort(SerialPortTable& table, int number, const std::optional<std::string>& name,
                   int speed, int parity, int dataBits, float stopBits, int handshake,
                   int inputBufferSize, int outputBufferSize);

// The line as a front end may set it: 8N1 without handshake always, at `baud`, and the modem
// lines the older RS232 interface wants (RTS high, DTR low at 38400 bit/s).
struct LineSettings {
    int baud = 9600;
    std::optional<bool> rts;  // set: raised (true) or dropped; nothing: left as the device has it
    std::optional<bool> dtr;
    // Held for this process alone (a lock on the device and TIOCEXCL): a second bridge, or
    // another program probing the device, is told it is busy instead of splitting the bytes.
    bool exclusive = false;
    bool operator==(const LineSettings&) const = default;
};

// The line for `baud`: the older RS232 interface (38400 bit/s, on a terminal that is not a USB
// CDC device) wants RTS high and DTR low; `rts` and `dtr` given win over that.
LineSettings lineSettingsFor(int baud, bool usbCdc, std::optional<bool> rts, std::optional<bool> dtr);
// " (38400 bit/s, RTS high, DTR low)" for what differs from 9600 bit/s with the lines as they
// are; empty for that.
std::string lineSettingsText(const LineSettings& line);

// The ioctl requests that set the modem lines as `line` says: TIOCMBIS (raise) or TIOCMBIC
// (drop), each with its line's bit, RTS first.
std::vector<std::pair<unsigned long, int>> modemLineRequests(const LineSettings& line);

// The settings every caller of this bridge uses: 8N1, no handshake, 9600 bit/s unless `line`
// says otherwise. A terminal without modem lines (a pseudo-terminal) opens all the same. An
// exclusive open of a device that another holds fails with errno EBUSY, leaving it untouched.
int openVelbusPort(SerialPortTable& table, int number, const std::string& name, const LineSettings& line = {});

// Whether another process holds `name` as an exclusive open does: its lock taken, or TIOCEXCL
// set against this process. A device that cannot be opened at all is not held.
bool serialDeviceHeld(const std::string& name);

std::int64_t serialInputAvailable(const SerialPortTable& table, int number);
// `gone`, when given, is set when the device will never deliver again: end of file (a plain
// file, a hung-up line) or an error other than "nothing waiting" (a pulled USB adapter).
std::int64_t readSerialPort(const SerialPortTable& table, int number, std::uint8_t* buffer,
                            std::int64_t size, bool* gone = nullptr);
// Returns the bytes the device took (0 when it said "try again"); `failed`, when given, is set
// when it failed for any other reason (a pulled USB adapter).
std::int64_t writeSerialPort(const SerialPortTable& table, int number, const std::uint8_t* data,
                             std::int64_t length, bool* failed = nullptr);
void closeSerialPort(SerialPortTable& table, int number);

// The descriptor of an open port, or -1; the event wait watches it.
int serialDescriptor(const SerialPortTable& table, int number);

}  // namespace tessel
