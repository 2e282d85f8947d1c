#include "serial/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

namespace tessel {

namespace {

std::optional<speed_t> speedCode(int speed) {
    static constexpr std::array<std::pair<int, speed_t>, 16> kSpeeds{{
        {0, B0},         {50, B50},       {75, B75},       {110, B110},
        {150, B150},     {300, B300},     {600, B600},     {1200, B1200},
        {1800, B1800},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    }};
    for (const auto& [rate, code] : kSpeeds) {
        if (rate == speed) return code;
    }
    return std::nullopt;
}

std::optional<tcflag_t> characterSize(int dataBits) {
    switch (dataBits) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        case 8: return CS8;
        default: return std::nullopt;
    }
}

int descriptorOf(const SerialPortTable& table, int number) {
    const auto it = table.ports.find(number);
    return it == table.ports.end() ? -1 : it->second.get();
}

// Takes the device for this process alone: the lock stands for root too, whom TIOCEXCL does
// not stop; TIOCEXCL stops any other program that does not look for the lock.
bool holdAlone(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return false;
    }
    // A device that is no terminal has no exclusive mode; the lock is all there is to hold.
    return ::ioctl(fd, TIOCEXCL) == 0 || errno == ENOTTY;
}

int openPort(SerialPortTable& table, int number, const std::optional<std::string>& name, int speed,
             int dataBits, float stopBits, int handshake, bool exclusive) {
    if (!name) return 0;
    const auto code = speedCode(speed);
    if (!code) return 0;
    const auto size = characterSize(dataBits);
    if (!size) return 0;
    if (handshake < 0 || handshake > 3) return 0;

    UniqueFd fd(::open(name->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return 0;
    // Before anything is set: a device someone else holds keeps its settings.
    if (exclusive && !holdAlone(fd.get())) return 0;

    // Built from zero: nothing of the device's earlier setting survives.
    termios tio{};
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = *size | CREAD | CLOCAL;
    if (stopBits != 1.0f) tio.c_cflag |= CSTOPB;
    if (handshake == 2) tio.c_cflag |= CRTSCTS;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VEOF] = 4;
    cfsetispeed(&tio, *code);
    cfsetospeed(&tio, *code);
    tcflush(fd.get(), TCIFLUSH);
    tcsetattr(fd.get(), TCSANOW, &tio);

    const int result = fd.get();
    table.ports[number] = std::move(fd);  // closes the earlier port of this number, if any
    if (exclusive) {
        table.heldAlone.insert(number);
    } else {
        table.heldAlone.erase(number);
    }
    return result;
}

}  // namespace

int openSerialPort(SerialPortTable& table, int number, const std::optional<std::string>& name,
                   int speed, int /*parity*/, int dataBits, float stopBits, int handshake,
                   int /*inputBufferSize*/, int /*outputBufferSize*/) {
    return openPort(table, number, name, speed, dataBits, stopBits, handshake, false);
}

bool serialDeviceHeld(const std::string& name) {
    UniqueFd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return errno == EBUSY;
    // A shared lock tells without taking: it fails only against an exclusive one.
    return ::flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

LineSettings lineSettingsFor(int baud, bool usbCdc, std::optional<bool> rts, std::optional<bool> dtr) {
    LineSettings line;
    line.baud = baud;
    if (baud == 38400 && !usbCdc) {
        line.rts = true;
        line.dtr = false;
    }
    if (rts) line.rts = rts;
    if (dtr) line.dtr = dtr;
    return line;
}

std::string lineSettingsText(const LineSettings& line) {
    std::string text;
    if (line.baud != 9600) text = std::to_string(line.baud) + " bit/s";
    if (line.rts) text += (text.empty() ? "" : ", ") + std::string(*line.rts ? "RTS high" : "RTS low");
    if (line.dtr) text += (text.empty() ? "" : ", ") + std::string(*line.dtr ? "DTR high" : "DTR low");
    return text.empty() ? text : " (" + text + ")";
}

int openVelbusPort(SerialPortTable& table, int number, const std::string& name, const LineSettings& line) {
    const int fd = openPort(table, number, name, line.baud, 8, 1.0f, 0, line.exclusive);
    if (fd == 0) return 0;
    for (auto [request, bits] : modemLineRequests(line)) ::ioctl(fd, request, &bits);
    return fd;
}

std::vector<std::pair<unsigned long, int>> modemLineRequests(const LineSettings& line) {
    std::vector<std::pair<unsigned long, int>> requests;
    for (const auto& [state, bit] : {std::pair{line.rts, TIOCM_RTS}, std::pair{line.dtr, TIOCM_DTR}}) {
        if (state) requests.emplace_back(*state ? TIOCMBIS : TIOCMBIC, bit);
    }
    return requests;
}

std::int64_t serialInputAvailable(const SerialPortTable& table, int number) {
    const int fd = descriptorOf(table, number);
    if (fd < 0) return 0;
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

std::int64_t readSerialPort(const SerialPortTable& table, int number, std::uint8_t* buffer,
                            std::int64_t size, bool* gone) {
    if (gone != nullptr) *gone = false;
    const int fd = descriptorOf(table, number);
    if (fd < 0 || size <= 0) return 0;
    const ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
    if (n > 0) return n;
    // A non-blocking terminal with nothing waiting says EAGAIN; 0 is an end of file.
    if (gone != nullptr) *gone = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    return 0;
}

std::int64_t writeSerialPort(const SerialPortTable& table, int number, const std::uint8_t* data,
                             std::int64_t length, bool* failed) {
    if (failed != nullptr) *failed = false;
    const int fd = descriptorOf(table, number);
    if (fd < 0 || length <= 0) return 0;
    const ssize_t n = ::write(fd, data, static_cast<size_t>(length));
    if (n >= 0) return n;
    if (failed != nullptr) *failed = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    return 0;
}

void closeSerialPort(SerialPortTable& table, int number) {
    // An exclusive hold outlives the close while another process still has the device open
    // (it is the terminal's, not the descriptor's): let it go first; only ours, so that closing
    // a port opened beside another's hold leaves that hold alone.
    for (const auto& [n, fd] : table.ports) {
        if ((number == kAllSerialPorts || n == number) && table.heldAlone.count(n) != 0) ::ioctl(fd.get(), TIOCNXCL);
    }
    if (number == kAllSerialPorts) {
        table.heldAlone.clear();
    } else {
        table.heldAlone.erase(number);
    }
    if (number == kAllSerialPorts) {
        table.ports.clear();
    } else {
        table.ports.erase(number);
    }
}

int serialDescriptor(const SerialPortTable& table, int number) {
    return descriptorOf(table, number);
}

}  // namespace tessel
