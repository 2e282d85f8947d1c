#include <gtest/gtest.h>
#include <termios.h>
#include <sys/ioctl.h>

#include "serial/serial_port.h"
#include "support/fakes.h"
#include "support/pty.h"

namespace tessel {
namespace {

using test::hexBytes;
using test::Pty;

TEST(SerialPort, OpensRaw9600Eight_N_One) {
    Pty pty;
    SerialPortTable table;
    ASSERT_NE(openVelbusPort(table, 0, pty.path), 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(serialDescriptor(table, 0), &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | ISTRIP | IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(SerialPort, TheServicesRatesAndTheirLines) {
    for (const auto& [rate, code] : {std::pair{9600, B9600}, std::pair{19200, B19200}, std::pair{38400, B38400},
                                     std::pair{57600, B57600}, std::pair{115200, B115200}}) {
        Pty pty;
        SerialPortTable table;
        // A pseudo-terminal has no modem lines: asked for, it opens all the same.
        ASSERT_NE(openVelbusPort(table, 0, pty.path, lineSettingsFor(rate, false, std::nullopt, std::nullopt)), 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(serialDescriptor(table, 0), &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(code)) << rate;
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    }
}

TEST(SerialPort, TheRs232InterfacesLines) {
    const struct {
        int baud;
        bool usbCdc;
        std::optional<bool> rts, dtr;
        LineSettings line;
        std::string text;
    } table[] = {
        {9600, false, std::nullopt, std::nullopt, {9600, std::nullopt, std::nullopt}, ""},
        {38400, false, std::nullopt, std::nullopt, {38400, true, false}, " (38400 bit/s, RTS high, DTR low)"},
        {38400, true, std::nullopt, std::nullopt, {38400, std::nullopt, std::nullopt}, " (38400 bit/s)"},
        {38400, false, false, std::nullopt, {38400, false, false}, " (38400 bit/s, RTS low, DTR low)"},
        {9600, true, std::nullopt, true, {9600, std::nullopt, true}, " (DTR high)"},
        {115200, false, true, true, {115200, true, true}, " (115200 bit/s, RTS high, DTR high)"},
    };
    for (const auto& row : table) {
        const LineSettings line = lineSettingsFor(row.baud, row.usbCdc, row.rts, row.dtr);
        EXPECT_EQ(line, row.line) << row.text;
        EXPECT_EQ(lineSettingsText(line), row.text);
    }
    // What reaches the device: RTS raised and DTR dropped for the RS232 interface, nothing else.
    using Requests = std::vector<std::pair<unsigned long, int>>;
    EXPECT_EQ(modemLineRequests(lineSettingsFor(38400, false, std::nullopt, std::nullopt)),
              (Requests{{TIOCMBIS, TIOCM_RTS}, {TIOCMBIC, TIOCM_DTR}}));
    EXPECT_EQ(modemLineRequests(lineSettingsFor(38400, true, std::nullopt, std::nullopt)), Requests{});
    EXPECT_EQ(modemLineRequests(lineSettingsFor(9600, false, std::nullopt, true)), (Requests{{TIOCMBIS, TIOCM_DTR}}));
}

TEST(SerialPort, MovesBytesBothWays) {
    Pty pty;
    SerialPortTable table;
    ASSERT_NE(openVelbusPort(table, 0, pty.path), 0);
    const Bytes frame = hexBytes("0F F8 00 01 0B ED 04 0D 0A 11 13 FF");
    pty.write(frame);
    Bytes got(64);
    std::int64_t n = 0;
    for (int i = 0; i < 200 && serialInputAvailable(table, 0) < 12; ++i) usleep(1000);
    EXPECT_EQ(serialInputAvailable(table, 0), 12);
    n = readSerialPort(table, 0, got.data(), 64);
    got.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(got, frame);  // no translation of CR, LF, XON/XOFF or the eighth bit

    EXPECT_EQ(writeSerialPort(table, 0, frame.data(), static_cast<std::int64_t>(frame.size())), 12);
    EXPECT_EQ(pty.read(12), frame);
    EXPECT_EQ(readSerialPort(table, 0, got.data(), 64), 0);  // nothing waiting: at once
}

struct BadOpen {
    int speed;
    int dataBits;
    int handshake;
};

class RefusedSettings : public ::testing::TestWithParam<BadOpen> {};

TEST_P(RefusedSettings, FailWithoutOpening) {
    Pty pty;
    SerialPortTable table;
    const auto& c = GetParam();
    EXPECT_EQ(openSerialPort(table, 0, pty.path, c.speed, 0, c.dataBits, 1.0f, c.handshake, 2048,
                             2048),
              0);
    EXPECT_TRUE(table.ports.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedSettings,
                         ::testing::Values(BadOpen{9601, 8, 0}, BadOpen{134, 8, 0},
                                           BadOpen{200, 8, 0}, BadOpen{9600, 4, 0},
                                           BadOpen{9600, 9, 0}, BadOpen{9600, 8, -1},
                                           BadOpen{9600, 8, 4}));

TEST(SerialPort, StopBitsOtherThanOneGiveTwo) {
    Pty pty;
    for (float stop : {1.5f, 2.0f}) {
        SerialPortTable table;
        ASSERT_NE(openSerialPort(table, 0, pty.path, 9600, 0, 8, stop, 0, 2048, 2048), 0);
        termios tio{};
        tcgetattr(serialDescriptor(table, 0), &tio);
        EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    }
}

TEST(SerialPort, HandshakeOneStillOpensAndTwoAsksForRtsCts) {
    Pty pty;
    SerialPortTable table;
    EXPECT_NE(openSerialPort(table, 0, pty.path, 9600, 0, 8, 1.0f, 1, 2048, 2048), 0);
    EXPECT_NE(openSerialPort(table, 1, pty.path, 9600, 0, 8, 1.0f, 2, 2048, 2048), 0);
}

TEST(SerialPort, MissingDeviceAndAbsentNameFail) {
    SerialPortTable table;
    EXPECT_EQ(openVelbusPort(table, 0, "COM4"), 0);
    EXPECT_EQ(openSerialPort(table, 0, std::nullopt, 9600, 0, 8, 1.0f, 0, 2048, 2048), 0);
    EXPECT_TRUE(table.ports.empty());
}

TEST(SerialPort, UnopenedNumberGivesZeroEverywhere) {
    SerialPortTable table;
    std::uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(serialInputAvailable(table, 3), 0);
    EXPECT_EQ(readSerialPort(table, 3, b, 4), 0);
    EXPECT_EQ(writeSerialPort(table, 3, b, 4), 0);
    closeSerialPort(table, 3);
    EXPECT_TRUE(table.ports.empty());
}

TEST(SerialPort, ReopenClosesTheOldPortOnlyWhenTheNewOneOpened) {
    Pty first, second;
    SerialPortTable table;
    const int fd = openVelbusPort(table, 0, first.path);
    ASSERT_NE(fd, 0);
    EXPECT_EQ(openVelbusPort(table, 0, "/nonexistent/tty"), 0);
    EXPECT_EQ(serialDescriptor(table, 0), fd);  // the first port is still open

    ASSERT_NE(openVelbusPort(table, 0, second.path), 0);
    EXPECT_NE(serialDescriptor(table, 0), -1);
    second.write(hexBytes("AA"));
    for (int i = 0; i < 200 && serialInputAvailable(table, 0) < 1; ++i) usleep(1000);
    EXPECT_EQ(serialInputAvailable(table, 0), 1);  // reads now come from the second device
}

// A bridge holds its device alone: a second exclusive open is told "busy" and changes nothing
// (root included, whom TIOCEXCL does not stop); an open that does not ask keeps working, as
// the window's does; the device is free again once the holder closes it.
TEST(SerialPort, ExclusiveOpenTellsTheNextItIsBusy) {
    Pty pty;
    SerialPortTable first, second, plain;
    LineSettings alone;
    alone.exclusive = true;
    EXPECT_FALSE(serialDeviceHeld(pty.path));
    const int fd = openVelbusPort(first, 0, pty.path, alone);
    ASSERT_NE(fd, 0);
    // TIOCGEXCL where the kernel is asked: qemu's user-mode emulator does not pass it on.
    int excl = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &excl) == 0;
    if (asked) {
        EXPECT_EQ(excl, 1);
    }
    EXPECT_TRUE(serialDeviceHeld(pty.path));

    LineSettings fast = alone;
    fast.baud = 38400;
    errno = 0;
    EXPECT_EQ(openVelbusPort(second, 0, pty.path, fast), 0);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_TRUE(second.ports.empty());
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));  // the holder's line untouched

    const int other = openVelbusPort(plain, 0, pty.path);
    ASSERT_NE(other, 0);
    SerialPortTable beside;
    ASSERT_NE(openVelbusPort(beside, 0, pty.path), 0);
    closeSerialPort(beside, kAllSerialPorts);  // a port that took no hold lets go of none
    if (asked) {
        ASSERT_EQ(::ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 1);
    }
    closeSerialPort(first, 0);  // the hold goes with it, though another still has the device open
    if (asked) {
        ASSERT_EQ(::ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 0);
    }
    EXPECT_FALSE(serialDeviceHeld(pty.path));
    closeSerialPort(plain, 0);
    EXPECT_NE(openVelbusPort(second, 0, pty.path, alone), 0);
    EXPECT_FALSE(serialDeviceHeld("/nonexistent/tty"));
}

// A device that is no terminal (a file a test or a replay stands in with) has no exclusive
// mode: it opens on the lock alone, and a second exclusive open is still told it is busy.
TEST(SerialPort, ExclusiveOpenOfAFileTakesTheLockAlone) {
    const std::string path = ::testing::TempDir() + "not-a-terminal-" + std::to_string(::getpid());
    std::fclose(std::fopen(path.c_str(), "w"));
    SerialPortTable first, second;
    LineSettings alone;
    alone.exclusive = true;
    EXPECT_NE(openVelbusPort(first, 0, path, alone), 0);
    errno = 0;
    EXPECT_EQ(openVelbusPort(second, 0, path, alone), 0);
    EXPECT_EQ(errno, EBUSY);
    closeSerialPort(first, 0);
    EXPECT_NE(openVelbusPort(second, 0, path, alone), 0);
    std::remove(path.c_str());
}

TEST(SerialPort, CloseAllClosesEveryPort) {
    Pty a, b;
    SerialPortTable table;
    ASSERT_NE(openVelbusPort(table, 0, a.path), 0);
    ASSERT_NE(openVelbusPort(table, 1, b.path), 0);
    closeSerialPort(table, kAllSerialPorts);
    EXPECT_TRUE(table.ports.empty());
}

}  // namespace
}  // namespace tessel
