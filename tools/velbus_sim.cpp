// A small simulated Velbus bus on a pseudo-terminal, for the demo and the end-to-end tests.
//
//   velbus-sim [--link PATH] [--log FILE] [--quiet] [--temperature-every SECONDS]
//              [--buffer N --buffer-ms MS] [--bus-off-ms MS]
//
// Prints the terminal's device path on the first line of standard output, then behaves like a
// bus with four modules:
//   $10  four-channel relay module (type 0x11): type, name, status, relay on/off
//   $20  one-channel dimmer (type 0x15): type, name, status, dimmer value (command 0x07)
//   $30  push-button panel (type 0x0B): type, name; presses and releases button 1 now and then
//   $40  temperature sensor (type 0x0C): type, name, temperature request; sends its
//        temperature every few seconds
// Output goes out at the real line rate, 9600 bit/s (about 1.04 ms a byte). Every frame
// received is logged with a millisecond time stamp: "<ms> RX <hex>". --quiet sends nothing
// unasked. --link makes a symbolic link to the terminal (removed at exit).
//
// The interface's own word, as a real one gives it:
//   --buffer N --buffer-ms MS  it takes at most N frames for the bus within MS milliseconds. The
//       frame that fills it is followed by "receive buffer full"; frames written while full are
//       dropped ("<ms> DROP <hex>"); "receive ready" follows once it has room again.
//   SIGUSR1  "bus off", and --bus-off-ms later (1000 unless given) "bus active"; frames written
//       meanwhile are dropped too.
// The modules keep a clock that the three broadcast clock frames set; each setting is logged:
// "<ms> CLOCK wday hh:mm", "<ms> DATE yyyy-mm-dd", "<ms> DST ds".
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
#include <string>
#include <vector>

#include "platform/clock.h"
#include "protocol/extractor.h"
#include "protocol/frame.h"

namespace {

using tessel::Bytes;

volatile sig_atomic_t stopRequested = 0;
void onStop(int) { stopRequested = 1; }
volatile sig_atomic_t busOffRequested = 0;
void onBusOff(int) { busOffRequested = 1; }

constexpr std::uint8_t kHigh = 0xF8;
constexpr std::uint8_t kLow = 0xFB;
constexpr std::uint8_t kRtr = 0x40;
constexpr std::int64_t kByteMicros = 1042;  // 10 bits at 9600 bit/s

Bytes makeFrame(std::uint8_t prio, std::uint8_t address, const Bytes& data, bool rtr = false) {
    Bytes f;
    f.reserve(data.size() + 6);
    f.push_back(tessel::kStartByte);
    f.push_back(prio);
    f.push_back(address);
    f.push_back(static_cast<std::uint8_t>((rtr ? kRtr : 0) | (data.size() & 0x0F)));
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(tessel::frameChecksum(f, static_cast<std::int64_t>(f.size()) - 1));
    f.push_back(tessel::kEndByte);
    return f;
}

struct Module {
    std::uint8_t address;
    std::uint8_t type;
    const char* name;
    int channels;
};

const Module kModules[] = {
    {0x10, 0x11, "Kitchen relays", 4},
    {0x20, 0x15, "Hall dimmer", 1},
    {0x30, 0x0B, "Door buttons", 8},
    {0x40, 0x0C, "Living temp", 1},
};

class Bus {
public:
    Bus(int master, FILE* log) : master_(master), log_(log) {}

    void send(const Bytes& frame) { out_.insert(out_.end(), frame.begin(), frame.end()); }

    // Writes the bytes that are due at the line rate; returns the ms until the next one.
    int pump() {
        const std::int64_t now = micros();
        if (out_.empty()) {
            nextByteAt_ = now;
            return -1;
        }
        while (!out_.empty() && nextByteAt_ <= now) {
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
                sendFirst(makeFrame(kHigh, 0x00, {0x0B}));
            }
        }
        answer(frame);
    }
    // The interface's buffer drains with time: ready once it has room.
    void makeRoom(std::int64_t now) {
        while (!taken_.empty() && now - taken_.front() >= bufferMillis_) taken_.pop_front();
        if (full_ && static_cast<int>(taken_.size()) < bufferFrames_) {
            full_ = false;
            sendFirst(makeFrame(kHigh, 0x00, {0x0C}));
        }
    }
    void setBuffer(int frames, std::int64_t millis) {
        bufferFrames_ = frames;
        bufferMillis_ = millis;
    }
    void busOff(bool off) {
        busOff_ = off;
        sendFirst(makeFrame(kHigh, 0x00, {static_cast<std::uint8_t>(off ? 0x09 : 0x0A)}));
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
    std::uint8_t relayState = 0;
    std::uint8_t dimmerLevel = 0;
    int temperatureHalfDegrees = 43;

    void temperature() {
        const int raw = temperatureHalfDegrees * 256;  // 1/512 degree units
        send(makeFrame(kLow, 0x40,
                       {0xE6, static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw),
                        0x26, 0x00, 0x30, 0x00}));
    }
    void button(bool pressed) {
        send(makeFrame(kHigh, 0x30, pressed ? Bytes{0x00, 0x01, 0x00, 0x00}
                                            : Bytes{0x00, 0x00, 0x01, 0x00}));
    }

private:
    void logLine(std::int64_t now, const std::string& text) {
        std::fprintf(log_, "%lld %s\n", static_cast<long long>(now), text.c_str());
        std::fflush(log_);
    }
    // The interface's own frames go out before what waits, at a frame boundary.
    void sendFirst(const Bytes& frame) {
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
        if (f[4] == 0xD8 && n == 4) {
            std::snprintf(text, sizeof text, "CLOCK %d %02d:%02d", f[5], f[6], f[7]);
        } else if (f[4] == 0xB7 && n == 5) {
            std::snprintf(text, sizeof text, "DATE %04d-%02d-%02d", f[7] * 256 + f[8], f[6], f[5]);
        } else if (f[4] == 0xAF && n == 2) {
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

    void relayStatus(std::uint8_t channelMask) {
        for (int ch = 0; ch < 4; ++ch) {
            const std::uint8_t bit = static_cast<std::uint8_t>(1u << ch);
            if (!(channelMask & bit)) continue;
            const bool on = relayState & bit;
            send(makeFrame(kLow, 0x10,
                           {0xFB, bit, 0x00, static_cast<std::uint8_t>(on ? 1 : 0),
                            static_cast<std::uint8_t>(on ? 0x80 : 0), 0, 0, 0}));
        }
    }

    void names(const Module& m, std::uint8_t channel) {
        std::uint8_t chars[16];
        std::memset(chars, 0xFF, sizeof chars);
        std::memcpy(chars, m.name, std::min<std::size_t>(std::strlen(m.name), 16));
        send(makeFrame(kLow, m.address, {0xF0, channel, chars[0], chars[1], chars[2], chars[3], chars[4], chars[5]}));
        send(makeFrame(kLow, m.address, {0xF1, channel, chars[6], chars[7], chars[8], chars[9], chars[10], chars[11]}));
        send(makeFrame(kLow, m.address, {0xF2, channel, chars[12], chars[13], chars[14], chars[15]}));
    }

    void answer(const Bytes& f) {
        const std::uint8_t address = f[2];
        if (address == 0x00 && (f[3] & kRtr) == 0 && (f[3] & 0x0F) > 0) {
            setClock(f);
            return;
        }
        const Module* m = nullptr;
        for (const auto& candidate : kModules) {
            if (candidate.address == address) m = &candidate;
        }
        if (m == nullptr) return;
        const bool rtr = (f[3] & kRtr) != 0;
        const int n = f[3] & 0x0F;
        if (rtr && n == 0) {
            if (m->type == 0x11) {
                send(makeFrame(kLow, address, {0xFF, m->type, 0x12, 0x34, 0x01, 0x14, 0x20}));
            } else {
                send(makeFrame(kLow, address, {0xFF, m->type, 0x14, 0x20}));
            }
            return;
        }
        if (n == 0) return;
        const std::uint8_t command = f[4];
        const std::uint8_t arg = n > 1 ? f[5] : 0;
        switch (command) {
            case 0xEF: names(*m, arg); break;
            case 0xFA:
                if (m->type == 0x11) relayStatus(arg);
                if (m->type == 0x15) send(makeFrame(kLow, address, {0xEE, 0x01, dimmerLevel, 0, 0, 0, 0}));
                break;
            case 0x01:
            case 0x02:
                if (m->type != 0x11) break;
                relayState = command == 0x02 ? (relayState | arg) : (relayState & ~arg);
                relayStatus(arg);
                break;
            case 0x07:
                if (m->type != 0x15) break;
                dimmerLevel = n > 2 ? f[6] : 0;
                send(makeFrame(kLow, address, {0xEE, 0x01, dimmerLevel, 0, 0, 0, 0}));
                break;
            case 0xE5:
                if (m->type == 0x0C) temperature();
                break;
            default: break;
        }
    }

    int master_;
    FILE* log_;
    std::deque<std::uint8_t> out_;
    std::int64_t nextByteAt_ = 0;
    tessel::SystemClock clock_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string link, logPath;
    bool quiet = false;
    int temperatureEvery = 5;
    int bufferFrames = 0;
    std::int64_t bufferMillis = 1000;
    std::int64_t busOffMillis = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--link" && i + 1 < argc) link = argv[++i];
        else if (a == "--log" && i + 1 < argc) logPath = argv[++i];
        else if (a == "--quiet") quiet = true;
        else if (a == "--temperature-every" && i + 1 < argc) temperatureEvery = std::atoi(argv[++i]);
        else if (a == "--buffer" && i + 1 < argc) bufferFrames = std::atoi(argv[++i]);
        else if (a == "--buffer-ms" && i + 1 < argc) bufferMillis = std::atoll(argv[++i]);
        else if (a == "--bus-off-ms" && i + 1 < argc) busOffMillis = std::atoll(argv[++i]);
        else {
            std::fprintf(stderr, "usage: velbus-sim [--link PATH] [--log FILE] [--quiet] "
                                 "[--temperature-every SECONDS] [--buffer N --buffer-ms MS] "
                                 "[--bus-off-ms MS]\n");
            return 2;
        }
    }
    int master = -1, slave = -1;
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("velbus-sim: openpty");
        return 1;
    }
    // Keep our end of the slave open so the terminal survives the bridge closing it.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(name, link.c_str()) != 0) std::perror("velbus-sim: symlink");
    }
    FILE* log = logPath.empty() ? stderr : std::fopen(logPath.c_str(), "a");
    if (log == nullptr) log = stderr;
    std::printf("%s\n", name);
    std::fflush(stdout);

    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);
    signal(SIGHUP, onStop);
    signal(SIGUSR1, onBusOff);

    Bus bus(master, log);
    bus.setBuffer(bufferFrames, bufferMillis);
    std::int64_t busActiveAt = -1;
    tessel::SystemClock clock;
    tessel::FrameExtractor extractor(tessel::FrameExtractor::Side::Bus);
    std::vector<tessel::ExtractedRun> found;
    std::int64_t nextTemperature = clock.elapsedMillis() + 1000;
    std::int64_t nextButton = clock.elapsedMillis() + 3000;
    bool buttonDown = false;

    while (!stopRequested) {
        const int untilByte = bus.pump();
        int timeout = 50;
        if (untilByte >= 0) timeout = std::min(timeout, std::max(untilByte, 0));
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, timeout) > 0 && (p.revents & POLLIN)) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                found.clear();
                extractor.feed(tessel::ByteRun(buf, static_cast<std::size_t>(n)),
                               clock.elapsedMillis(), found);
                for (const auto& run : found) bus.received(run.bytes);
            }
        }
        const std::int64_t now = clock.elapsedMillis();
        if (extractor.expired(now, 100)) extractor.clear();
        bus.makeRoom(now);
        if (busOffRequested) {
            busOffRequested = 0;
            bus.busOff(true);
            busActiveAt = now + busOffMillis;
        }
        if (busActiveAt >= 0 && now >= busActiveAt) {
            bus.busOff(false);
            busActiveAt = -1;
        }
        if (quiet) continue;
        if (temperatureEvery > 0 && now >= nextTemperature) {
            bus.temperatureHalfDegrees = 40 + static_cast<int>((now / 1000) % 8);
            bus.temperature();
            nextTemperature = now + temperatureEvery * 1000;
        }
        if (now >= nextButton) {
            buttonDown = !buttonDown;
            bus.button(buttonDown);
            nextButton = now + (buttonDown ? 300 : 7000);
        }
    }
    std::fprintf(log, "%lld DROPPED %lld\n", static_cast<long long>(clock.elapsedMillis()),
                 static_cast<long long>(bus.dropped()));
    std::fflush(log);
    if (!link.empty()) ::unlink(link.c_str());
    ::close(slave);
    ::close(master);
    return 0;
}
