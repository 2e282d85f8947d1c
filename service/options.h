// The service's command line.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessel {

// A listener of --listen (plain) or --listen-guarded (with the guard the TLS and key options set).
struct ListenerOption {
    std::string address;
    std::uint16_t port = 0;
    bool guarded = false;
    bool operator==(const ListenerOption&) const = default;
};

struct ServiceOptions {
    std::optional<std::string> configPath;  // --config; else "Tessel-server.ini" when it exists
    std::optional<std::string> device;      // --device, over the configuration's
    std::optional<std::int64_t> port;       // --port, over the configuration's
    std::string bindAddress;                // --bind; empty: every IPv4 interface
    bool monitor = false;                   // --monitor: one line per run
    bool noDelay = false;                   // --no-delay: 5 ms between bus frames, not 50
    bool syncClock = false;                 // --sync-clock: set the modules' clock from the host's
    std::optional<std::string> tlsCertificate;  // --tls-cert and --tls-key: TLS for every client
    std::optional<std::string> tlsKey;
    std::optional<std::string> authKeyFile;     // --auth-key-file: the key clients send first
    std::vector<ListenerOption> listeners;      // in the order given; none: --bind and the port
    std::optional<std::string> webAddress;      // --web [ADDRESS:]PORT: the web monitor
    std::uint16_t webPort = 0;
    std::optional<std::string> webPeer;         // --web-peer: its only peer (a proxy in front)
    bool webPeerTrusted = false;                // --web-peer-trusted: that peer needs no key
    bool scan = false;                          // --scan: the service asks the bus what it holds
    std::int64_t silentAfterSeconds = 24 * 3600;  // --silent-after; 0: no module is ever silent
    std::optional<std::string> stateDir;        // --state-dir; else $STATE_DIRECTORY (systemd's)
    std::int64_t captureMemory = 4 * 1024 * 1024;  // --capture-memory; 0: no capture
    std::optional<std::string> captureFile;     // --capture-file: the capture on disk too
    std::int64_t captureFileSize = 16 * 1024 * 1024;  // --capture-file-size: rotated there
    int baud = 9600;                            // --baud: the serial line's rate
    bool announce = false;                      // --announce: answer the clients' LAN discovery
    std::optional<bool> rts;                    // --rts high|low; else as --baud 38400 wants
    std::optional<bool> dtr;                    // --dtr high|low
    // --project-file: the project file for the home-automation server, written from the state
    // directory's table; the service then exits without opening anything else.
    std::optional<std::string> projectFile;
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    std::optional<ServiceOptions> options;  // nothing: `error` says what was wrong
    std::string error;
};

// The configuration file's port line as the service takes it: blanks around a decimal, "$"
// hexadecimal or "%" binary number from 1 to 65535; an empty or missing line gives 8080.
// Nothing for anything else, which the service refuses rather than listen on a port by chance.
std::optional<std::int64_t> configuredPort(const std::string& line);

// "90", "90s", "30m", "24h", "7d" as seconds, at most ten years; nothing for anything else.
std::optional<std::int64_t> durationSeconds(const std::string& text);

// "4M", "4MiB", "512K", "512k", "1G" or a plain number of bytes; nothing for anything else.
std::optional<std::int64_t> sizeBytes(const std::string& text);

// Options as `--name value` or `--name=value`.
ParsedOptions parseServiceOptions(std::span<const std::string> args);

// The usage text printed by --help; its options' part is made from the parser's table.
std::string serviceUsage();

// Every option the parser takes, in the order --help describes them, and whether it takes a value.
std::vector<std::string> serviceOptionNames();
bool serviceOptionTakesValue(const std::string& name);

}  // namespace tessel
