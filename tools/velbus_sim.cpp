// A simulated Velbus house on a pseudo-terminal, for the demo, the end-to-end tests and the
// benchmarks.
//
//   velbus-sim [--house FILE] [--usb] [--link PATH] [--log FILE] [--quiet]
//              [--temperature-every SECONDS] [--buffer N --buffer-ms MS] [--bus-off-ms MS]
//
// Prints the terminal's device path on the first line of standard output, then behaves like a
// bus with the modules of the house file (tools/default.house unless --house names another; a
// file that will not do is one line naming its line, and exit 2). The modules answer as real
// ones do (sim_replies.cpp); they say they started, a push button is pressed now and then and
// lights a relay, and the thermometers' readings drift. --quiet sends nothing unasked.
// Output goes out at the RS232 interface's 9600 bit/s (about 1.04 ms a byte), or with --usb as
// a USB interface hands it over: a whole frame per write, at the bus's own rate (about 150 full
// frames a second). Every frame received is logged with a millisecond time stamp:
// "<ms> RX <hex>". --link makes a symbolic link to the terminal (removed at exit).
//
// The interface's own word, as a real one gives it:
//   --buffer N --buffer-ms MS  it takes at most N frames for the bus within MS milliseconds. The
//       frame that fills it is followed by "receive buffer full"; frames written while full are
//       dropped ("<ms> DROP <hex>"); "receive ready" follows once it has room again.
//   SIGUSR1  "bus off", and --bus-off-ms later (1000 unless given) "bus active"; frames written
//       meanwhile are dropped too.
// --baud N: the interface's line rate (9600 unless given). While the bridge has the terminal at
// another rate, frames from it are not understood: "<ms> BAUD <rate>, not <N>: <hex>", and no
// answer, as a real interface at the wrong rate.
// The modules keep a clock that the three broadcast clock frames set; each setting is logged:
// "<ms> CLOCK wday hh:mm", "<ms> DATE yyyy-mm-dd", "<ms> DST ds".
//
//   velbus-sim --replay FILE [--speed N]
//
// Plays a capture instead of the house: once a line (or the end) comes on standard input, its
// frames from the bus go out at their times (N times faster with --speed), nothing answers,
// and the frames the bridge writes are held against the capture's frames for the bus: in order,
// byte for byte, with their gaps. The outcome is a few "replay: " lines on standard output and
// the exit code: 0 the same, 1 they differ, 2 the file is not a capture.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "protocol/extractor.h"
#include "protocol/frame.h"
#include "tools/sim_house.h"
#include "tools/sim_replies.h"
#include "tools/sim_replay.h"

namespace {

using tessel::Bytes;
using tessel::kBufferFull;
using tessel::kBufferReady;
using tessel::kBusActive;
using tessel::kBusOff;
using tessel::kHighPriority;
using tessel::kLowPriority;
using tessel::kRtrBit;
using tessel::kSetClock;
using tessel::kSetDate;
using tessel::kSetDaylightSaving;

volatile sig_atomic_t stopRequested = 0;
void onStop(int) { stopRequested = 1; }
volatile sig_atomic_t busOffRequested = 0;
void onBusOff(int) { busOffRequested = 1; }

constexpr std::int64_t kByteMicros = 1042;  // 10 bits at 9600 bit/s

// The bus's own rate: a full frame of 8 data bytes (14 bytes) about every 6.7 ms.
constexpr std::int64_t kUsbFrameMicros = 6700;
constexpr std::size_t kUsbReadBytes = 64;

Bytes makeFrame(std::uint8_t prio, std::uint8_t address, const Bytes& data) {
    return tessel::sim::moduleFrame(prio, address, data);
}

class Bus {
public:
    Bus(int master, FILE* log, tessel::sim::House house, bool usb)
        : house(std::move(house)), master_(master), log_(log), usb_(usb) {}

    int master() const { return master_; }

    void send(const Bytes& frame) {
        // After a quiet spell a USB interface hands the next frame over now, not where its
        // pacing last stopped.
        if (usb_ && out_.empty()) nextByteAt_ = std::max(nextByteAt_, micros());
        out_.insert(out_.end(), frame.begin(), frame.end());
    }

    // Writes what is due, at the line rate or as whole frames at the bus's; returns the ms
    // until the next write.
    int pump() {
        const std::int64_t now = micros();
        if (out_.empty()) {
            nextByteAt_ = now;
            return -1;
        }
        while (!out_.empty() && nextByteAt_ <= now) {
            if (usb_) {
                // One frame a write, as the USB interface hands them over.
                std::size_t length = 1;
                while (length < out_.size() && length < kUsbReadBytes && out_[length] != tessel::kStartByte) ++length;
                const Bytes chunk(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(length));
                // What the terminal took is gone from the queue even when it took only part, so
                // that its rest follows it and nothing goes twice.
                const ssize_t written = ::write(master_, chunk.data(), chunk.size());
                if (written > 0) out_.erase(out_.begin(), out_.begin() + written);
                if (written != static_cast<ssize_t>(chunk.size())) break;
                nextByteAt_ += kUsbFrameMicros;
                continue;
            }
            if (::write(master_, &out_.front(), 1) != 1) break;
            out_.pop_front();
            nextByteAt_ += kByteMicros;
        }
        if (out_.empty()) return -1;
        return static_cast<int>((nextByteAt_ - now + 999) / 1000);
    }

    void received(const Bytes& frame) {
        const std::int64_t now = clock_.elapsedMillis();
        makeRoom(now);
        if (full_ || busOff_) {
            ++dropped_;
            logLine(now, "DROP " + tessel::frameHexText(frame));
            return;
        }
        logLine(now, "RX " + tessel::frameHexText(frame));
        if (bufferFrames_ > 0) {
            taken_.push_back(now);
            // The frame that fills the buffer is the last it takes until it has room again.
            if (static_cast<int>(taken_.size()) >= bufferFrames_) {
                full_ = true;
                sendFirst(makeFrame(kHighPriority, 0x00, {kBufferFull}));
            }
        }
        answer(frame);
    }
    // The interface's buffer drains with time: ready once it has room.
    void makeRoom(std::int64_t now) {
        while (!taken_.empty() && now - taken_.front() >= bufferMillis_) taken_.pop_front();
        if (full_ && static_cast<int>(taken_.size()) < bufferFrames_) {
            full_ = false;
            sendFirst(makeFrame(kHighPriority, 0x00, {kBufferReady}));
        }
    }
    void setBuffer(int frames, std::int64_t millis) {
        bufferFrames_ = frames;
        bufferMillis_ = millis;
    }
    void busOff(bool off) {
        busOff_ = off;
        sendFirst(makeFrame(kHighPriority, 0x00, {static_cast<std::uint8_t>(off ? kBusOff : kBusActive)}));
        logLine(clock_.elapsedMillis(), off ? "BUS OFF" : "BUS ACTIVE");
    }
    std::int64_t dropped() const { return dropped_; }

private:
    std::deque<std::int64_t> taken_;  // when each frame in the buffer came
    int bufferFrames_ = 0;            // 0: a buffer that never fills
    std::int64_t bufferMillis_ = 1000;
    bool full_ = false;
    bool busOff_ = false;
    std::int64_t dropped_ = 0;

public:
    tessel::sim::House house;

    void sendAll(const std::vector<Bytes>& frames) {
        for (const Bytes& f : frames) send(f);
    }
    // Now and then someone presses a panel's first button, which lights the first relay.
    void pressButton(bool pressed) {
        tessel::sim::Module* panel = firstOf(0x0B);
        if (panel == nullptr) panel = firstOf(0x1E);
        if (panel == nullptr) return;
        send(tessel::sim::buttonFrame(*panel, 0x01, pressed));
        tessel::sim::Module* relays = firstOf(0x11);
        if (relays == nullptr) relays = firstOf(0x10);
        if (!pressed || relays == nullptr) return;
        relays->states[0] = relays->states[0] ? 0 : 1;
        send(tessel::sim::relayStatus(*relays, 1));
    }
    // The thermometers drift a sixteenth of a degree at a time, within two degrees of their start.
    void temperatures(std::int64_t step) {
        for (auto& m : house.modules) {
            if (!m.is(0x0C) && !m.is(0x1E)) continue;
            if (start_.size() < house.modules.size()) start_.assign(house.modules.size(), 0);
            int& from = start_[static_cast<std::size_t>(&m - house.modules.data())];
            if (from == 0) from = m.temperatureSixteenths;
            const int drift = ((step + m.address) % 4 < 2) ? 1 : -1;
            m.temperatureSixteenths = std::clamp(m.temperatureSixteenths + drift, from - 32, from + 32);
            send(tessel::sim::temperatureFrame(m));
        }
    }

private:
    void logLine(std::int64_t now, const std::string& text) {
        std::fprintf(log_, "%lld %s\n", static_cast<long long>(now), text.c_str());
        std::fflush(log_);
    }
    // The interface's own frames go out before what waits, at a frame boundary.
    void sendFirst(const Bytes& frame) {
        if (usb_ && out_.empty()) nextByteAt_ = std::max(nextByteAt_, micros());
        std::size_t at = 0;
        if (!out_.empty() && out_.front() != tessel::kStartByte) {
            while (at < out_.size() && out_[at] != tessel::kStartByte) ++at;
        }
        out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(at), frame.begin(), frame.end());
    }
    // The three broadcast frames that set the modules' clock.
    void setClock(const Bytes& f) {
        const int n = f[3] & 0x0F;
        const std::int64_t now = clock_.elapsedMillis();
        char text[64];
        if (f[4] == kSetClock && n == 4) {
            std::snprintf(text, sizeof text, "CLOCK %d %02d:%02d", f[5], f[6], f[7]);
        } else if (f[4] == kSetDate && n == 5) {
            std::snprintf(text, sizeof text, "DATE %04d-%02d-%02d", f[7] * 256 + f[8], f[6], f[5]);
        } else if (f[4] == kSetDaylightSaving && n == 2) {
            std::snprintf(text, sizeof text, "DST %d", f[5]);
        } else {
            return;
        }
        logLine(now, text);
    }

    static std::int64_t micros() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }

    tessel::sim::Module* firstOf(std::uint8_t code) {
        for (auto& m : house.modules) {
            if (m.is(code)) return &m;
        }
        return nullptr;
    }

    void answer(const Bytes& f) {
        const std::uint8_t address = f[2];
        if (address == 0x00 && (f[3] & 0x40) == 0 && (f[3] & 0x0F) > 0) {
            setClock(f);
            return;
        }
        sendAll(tessel::sim::answer(house, f));
    }

    int master_;
    FILE* log_;
    bool usb_;
    std::vector<int> start_;  // each thermometer's first reading
    std::deque<std::uint8_t> out_;
    std::int64_t nextByteAt_ = 0;
    tessel::SystemClock clock_;
};

// The rate the bridge set on its end of the terminal (the two ends share their settings).
long lineRate(int master) {
    termios t{};
    if (tcgetattr(master, &t) != 0) return 0;
    switch (cfgetospeed(&t)) {
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 0;
    }
}

std::int64_t nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The capture's bus side onto the terminal, and what comes back held against it.
int replay(int master, FILE* log, const tessel::sim::ReplayPlan& plan, double speed) {
    if (isatty(STDIN_FILENO)) std::fprintf(stderr, "velbus-sim: press Enter to start the replay\n");
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    std::int64_t start = -1;
    std::size_t next = 0;
    std::deque<std::uint8_t> out;
    std::vector<tessel::sim::TimedFrame> received;
    tessel::FrameExtractor extractor(tessel::FrameExtractor::Side::Bus);
    std::vector<tessel::ExtractedRun> found;
    const auto scaled = [speed](std::int64_t micros) { return static_cast<std::int64_t>(static_cast<double>(micros) / speed); };
    while (!stopRequested) {
        const std::int64_t now = nowMicros();
        if (start >= 0) {
            while (next < plan.toPlay.size() && now - start >= scaled(plan.toPlay[next].atMicros)) {
                const Bytes& f = plan.toPlay[next++].bytes;
                out.insert(out.end(), f.begin(), f.end());
            }
            while (!out.empty()) {
                std::uint8_t chunk[256];
                const std::size_t n = std::min(out.size(), sizeof chunk);
                std::copy_n(out.begin(), n, chunk);
                const ssize_t written = ::write(master, chunk, n);
                if (written <= 0) break;
                out.erase(out.begin(), out.begin() + written);
            }
            const std::int64_t end = start + scaled(plan.lengthMicros);
            const bool allCame = received.size() >= plan.expected.size();
            if (next == plan.toPlay.size() && out.empty() &&
                ((allCame && now >= end + 2'000'000) || now >= end + 5'000'000)) {
                break;
            }
        }
        int timeout = 50;
        if (start >= 0 && next < plan.toPlay.size()) {
            const std::int64_t due = start + scaled(plan.toPlay[next].atMicros) - now;
            timeout = static_cast<int>(std::clamp<std::int64_t>((due + 999) / 1000, 0, 50));
        }
        // A bridge that does not read fills the terminal: its room, not a timer, wakes the rest.
        const short want = static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT));
        pollfd p[2] = {{master, want, 0}, {start < 0 ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(p, 2, timeout) <= 0) continue;
        if (p[1].revents != 0) {
            char line[256];
            const ssize_t n = ::read(STDIN_FILENO, line, sizeof line);
            if (n <= 0 || std::find(line, line + n, '\n') != line + n || (p[1].revents & (POLLHUP | POLLNVAL))) {
                start = nowMicros();
                std::fprintf(log, "%lld REPLAY START\n", 0LL);
            }
        }
        if ((p[0].revents & POLLIN) != 0) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                found.clear();
                extractor.feed(tessel::ByteRun(buf, static_cast<std::size_t>(n)), nowMicros() / 1000, found);
                for (const auto& run : found) {
                    if (!run.wellFormed) continue;
                    const std::int64_t at = nowMicros();
                    std::fprintf(log, "%lld RX %s\n", static_cast<long long>(start >= 0 ? (at - start) / 1000 : 0),
                                 tessel::frameHexText(run.bytes).c_str());
                    if (start >= 0) received.push_back({at - start, run.bytes});
                }
                std::fflush(log);
            }
        }
    }
    std::printf("replay: %zu runs played onto the bus in %.3f s (at %gx)\n", next,
                static_cast<double>(scaled(plan.lengthMicros)) / 1e6, speed);
    const tessel::sim::ReplayReport report = tessel::sim::compareReplay(plan, received, speed);
    for (const std::string& line : report.lines) std::printf("replay: %s\n", line.c_str());
    std::fflush(stdout);
    return report.match ? 0 : 1;
}

// The command line.
struct SimOptions {
    std::string link, logPath, housePath = TESSEL_DEFAULT_HOUSE, replayPath;
    double speed = 1.0;
    long baud = 9600;
    bool quiet = false, usb = false;
    int temperatureEvery = 5;
    int bufferFrames = 0;
    std::int64_t bufferMillis = 1000;
    std::int64_t busOffMillis = 1000;
};

bool readOptions(int argc, char** argv, SimOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--link" && more) o.link = argv[++i];
        else if (a == "--house" && more) o.housePath = argv[++i];
        else if (a == "--usb") o.usb = true;
        else if (a == "--log" && more) o.logPath = argv[++i];
        else if (a == "--quiet") o.quiet = true;
        else if (a == "--temperature-every" && more) o.temperatureEvery = std::atoi(argv[++i]);
        else if (a == "--buffer" && more) o.bufferFrames = std::atoi(argv[++i]);
        else if (a == "--buffer-ms" && more) o.bufferMillis = std::atoll(argv[++i]);
        else if (a == "--bus-off-ms" && more) o.busOffMillis = std::atoll(argv[++i]);
        else if (a == "--replay" && more) o.replayPath = argv[++i];
        else if (a == "--speed" && more) o.speed = std::atof(argv[++i]);
        else if (a == "--baud" && more) o.baud = std::atol(argv[++i]);
        else {
            std::fprintf(stderr, "usage: velbus-sim [--house FILE] [--usb] [--link PATH] [--log FILE] [--quiet] "
                                 "[--temperature-every SECONDS] [--buffer N --buffer-ms MS] "
                                 "[--bus-off-ms MS] [--baud N]\n"
                                 "       velbus-sim --replay FILE [--speed N] [--link PATH] [--log FILE]\n");
            return false;
        }
    }
    if (!(o.speed >= 0.01 && o.speed <= 1000)) {
        std::fprintf(stderr, "velbus-sim: --speed takes a number from 0.01 to 1000\n");
        return false;
    }
    return true;
}

bool loadReplay(const std::string& path, tessel::sim::ReplayPlan& plan) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "velbus-sim: cannot read the capture %s\n", path.c_str());
        return false;
    }
    const tessel::CaptureContents capture = tessel::readCapture(in);
    if (!capture.error.empty()) {
        std::fprintf(stderr, "velbus-sim: %s: %s\n", path.c_str(), capture.error.c_str());
        return false;
    }
    plan = tessel::sim::planReplay(capture);
    return true;
}

bool loadHouse(const std::string& path, tessel::sim::House& house) {
    std::ifstream in(path);
    std::string error;
    if (!in) {
        std::fprintf(stderr, "velbus-sim: cannot read the house file %s\n", path.c_str());
        return false;
    }
    if (!tessel::sim::parseHouse(in, house, error)) {
        std::fprintf(stderr, "velbus-sim: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

// The bus's terminal, raw at 9600 bit/s; our end of the slave stays open so that the terminal
// survives the bridge closing it.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::string name;
};

bool openTerminal(const std::string& link, Terminal& t) {
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    if (openpty(&t.master, &t.slave, name, &raw, nullptr) != 0) {
        std::perror("velbus-sim: openpty");
        return false;
    }
    t.name = name;
    fcntl(t.master, F_SETFL, fcntl(t.master, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(name, link.c_str()) != 0) std::perror("velbus-sim: symlink");
    }
    return true;
}

// Reads what the bridge wrote and lets the modules answer the frames they can read, at the
// interface's rate.
void readFromBridge(Bus& bus, tessel::FrameExtractor& extractor, long baud, std::int64_t now, FILE* log) {
    std::uint8_t buf[512];
    const ssize_t n = ::read(bus.master(), buf, sizeof buf);
    if (n <= 0) return;
    std::vector<tessel::ExtractedRun> found;
    extractor.feed(tessel::ByteRun(buf, static_cast<std::size_t>(n)), now, found);
    const long rate = lineRate(bus.master());
    for (const auto& run : found) {
        if (!run.wellFormed) continue;
        if (rate != baud) {
            std::fprintf(log, "%lld BAUD %ld, not %ld: %s\n", static_cast<long long>(now), rate, baud,
                         tessel::frameHexText(run.bytes).c_str());
            std::fflush(log);
            continue;
        }
        bus.received(run.bytes);
    }
}

// The live house until a signal stops it: answers, the interface's buffer and bus-off, and the
// house's own doings (temperatures, a button pressed now and then).
void runHouse(Bus& bus, const SimOptions& o, FILE* log) {
    if (!o.quiet) bus.sendAll(tessel::sim::powerUp(bus.house));
    bus.setBuffer(o.bufferFrames, o.bufferMillis);
    std::int64_t busActiveAt = -1;
    tessel::SystemClock clock;
    tessel::FrameExtractor extractor(tessel::FrameExtractor::Side::Bus);
    std::int64_t nextTemperature = clock.elapsedMillis() + 1000;
    std::int64_t nextButton = clock.elapsedMillis() + 3000;
    bool buttonDown = false;
    while (!stopRequested) {
        const int untilByte = bus.pump();
        const int timeout = untilByte >= 0 ? std::min(50, std::max(untilByte, 0)) : 50;
        pollfd p{bus.master(), POLLIN, 0};
        if (::poll(&p, 1, timeout) > 0 && (p.revents & POLLIN)) readFromBridge(bus, extractor, o.baud, clock.elapsedMillis(), log);
        const std::int64_t now = clock.elapsedMillis();
        if (extractor.expired(now, 100)) extractor.clear();
        bus.makeRoom(now);
        if (busOffRequested) {
            busOffRequested = 0;
            bus.busOff(true);
            busActiveAt = now + o.busOffMillis;
        }
        if (busActiveAt >= 0 && now >= busActiveAt) {
            bus.busOff(false);
            busActiveAt = -1;
        }
        if (o.quiet) continue;
        if (o.temperatureEvery > 0 && now >= nextTemperature) {
            bus.temperatures(now / (o.temperatureEvery * 1000));
            nextTemperature = now + o.temperatureEvery * 1000;
        }
        if (now >= nextButton) {
            buttonDown = !buttonDown;
            bus.pressButton(buttonDown);
            nextButton = now + (buttonDown ? 300 : 7000);
        }
    }
    std::fprintf(log, "%lld DROPPED %lld\n", static_cast<long long>(clock.elapsedMillis()),
                 static_cast<long long>(bus.dropped()));
    std::fflush(log);
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions o;
    if (!readOptions(argc, argv, o)) return 2;
    tessel::sim::ReplayPlan plan;
    if (!o.replayPath.empty() && !loadReplay(o.replayPath, plan)) return 2;
    tessel::sim::House house;
    if (!loadHouse(o.housePath, house)) return 2;
    Terminal t;
    if (!openTerminal(o.link, t)) return 1;
    FILE* log = o.logPath.empty() ? stderr : std::fopen(o.logPath.c_str(), "a");
    if (log == nullptr) log = stderr;
    std::printf("%s\n", t.name.c_str());
    std::fflush(stdout);

    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);
    signal(SIGHUP, onStop);
    signal(SIGUSR1, onBusOff);

    int outcome = 0;
    if (!o.replayPath.empty()) {
        outcome = replay(t.master, log, plan, o.speed);
    } else {
        Bus bus(t.master, log, std::move(house), o.usb);
        runHouse(bus, o, log);
    }
    if (!o.link.empty()) ::unlink(o.link.c_str());
    ::close(t.slave);
    ::close(t.master);
    return outcome;
}
