#include "service/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string_view>

#include "bridge/config.h"
#include "net/tcp_server.h"

namespace tessel {

namespace {

// Digits of one base, the whole of `text`, as a port from 1 to 65535.
std::optional<std::int64_t> portInBase(std::string_view text, int base) {
    if (text.empty() || text.size() > 17) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : base;
        if (digit >= base) return std::nullopt;
        value = value * base + digit;
    }
    if (value < 1 || value > 65535) return std::nullopt;
    return value;
}

std::optional<std::int64_t> portNumber(const std::string& text) { return portInBase(text, 10); }

// "ADDRESS:PORT" with IPv6 addresses in brackets, or with `defaultAddress` a bare port too:
// "8081" (on 127.0.0.1), "0.0.0.0:8081", "[::]:8081".
std::optional<std::pair<std::string, std::uint16_t>> endpoint(const std::string& text,
                                                              const std::string& defaultAddress) {
    std::string address = defaultAddress;
    std::string port = text;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        // A bare IPv6 address would be cut at its own colons: it takes brackets.
        if (address.find(':') != std::string::npos && address.front() != '[') return std::nullopt;
    }
    const auto number = portNumber(port);
    if (!number || address.empty() || !validListenAddress(address)) return std::nullopt;
    return std::pair{address, static_cast<std::uint16_t>(*number)};
}

// An IPv4 or IPv6 address in the form the web server names its peers (an IPv6 one shortened);
// nothing for anything else.
std::optional<std::string> peerAddress(const std::string& text) {
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN] = "";
    for (const int family : {AF_INET, AF_INET6}) {
        if (::inet_pton(family, text.c_str(), bytes) == 1 && ::inet_ntop(family, bytes, out, sizeof out) != nullptr) {
            return std::string(out);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> durationSeconds(const std::string& text) {
    std::string_view digits(text);
    std::int64_t unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 's': unit = 1; digits.remove_suffix(1); break;
            case 'm': unit = 60; digits.remove_suffix(1); break;
            case 'h': unit = 3600; digits.remove_suffix(1); break;
            case 'd': unit = 86400; digits.remove_suffix(1); break;
            default: break;
        }
    }
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value * unit > 10LL * 366 * 86400) return std::nullopt;
    return value * unit;
}

std::optional<std::int64_t> configuredPort(const std::string& line) {
    std::string_view text(line);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return kDefaultEthernetPort;
    if (text.front() == '$') return portInBase(text.substr(1), 16);
    if (text.front() == '%') return portInBase(text.substr(1), 2);
    return portInBase(text, 10);
}

std::optional<std::int64_t> sizeBytes(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 12) return std::nullopt;
    const std::int64_t number = std::stoll(text.substr(0, digits));
    std::string unit = text.substr(digits);
    if (unit.size() == 3 && unit.substr(1) == "iB") unit.resize(1);
    if (unit.empty()) return number;
    const std::int64_t scale = unit == "K" || unit == "k" ? 1024 : unit == "M" ? 1024 * 1024 : unit == "G" ? 1024 * 1024 * 1024 : 0;
    if (scale == 0 || number > (std::int64_t{1} << 40) / scale) return std::nullopt;
    return number * scale;
}

ParsedOptions parseServiceOptions(std::span<const std::string> args) {
    ServiceOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const bool takesValue = name == "--config" || name == "--device" || name == "--port" ||
                                name == "--bind" || name == "--tls-cert" || name == "--tls-key" ||
                                name == "--auth-key-file" || name == "--web" || name == "--listen" ||
                                name == "--listen-guarded" || name == "--silent-after" || name == "--state-dir" ||
                                name == "--capture-memory" || name == "--capture-file" || name == "--capture-file-size" ||
                                name == "--baud" || name == "--rts" || name == "--dtr" || name == "--project-file" ||
                                name == "--web-peer";
        if (takesValue && !value) {
            if (i + 1 >= args.size()) return {std::nullopt, name + " needs a value"};
            value = args[++i];
        }
        if (!takesValue && value) return {std::nullopt, name + " takes no value"};

        if (name == "--config") {
            if (value->empty()) return {std::nullopt, "--config needs a file name"};
            o.configPath = *value;
        } else if (name == "--device") {
            if (value->empty()) return {std::nullopt, "--device needs a device path"};
            o.device = *value;
        } else if (name == "--port") {
            o.port = portNumber(*value);
            if (!o.port) return {std::nullopt, "--port takes a number from 1 to 65535, not '" + *value + "'"};
        } else if (name == "--bind") {
            if (!validListenAddress(*value)) {
                return {std::nullopt, "--bind takes an IPv4 or IPv6 address, not '" + *value + "'"};
            }
            o.bindAddress = *value;
        } else if (name == "--tls-cert" || name == "--tls-key" || name == "--auth-key-file") {
            if (value->empty()) return {std::nullopt, name + " needs a file name"};
            (name == "--tls-cert" ? o.tlsCertificate : name == "--tls-key" ? o.tlsKey : o.authKeyFile) = *value;
        } else if (name == "--web") {
            const auto web = endpoint(*value, "127.0.0.1");
            if (!web) {
                return {std::nullopt, "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not '" +
                                          *value + "'"};
            }
            o.webAddress = web->first;
            o.webPort = web->second;
        } else if (name == "--web-peer") {
            o.webPeer = peerAddress(*value);
            if (!o.webPeer) return {std::nullopt, "--web-peer takes an IPv4 or IPv6 address, not '" + *value + "'"};
        } else if (name == "--web-peer-trusted") {
            o.webPeerTrusted = true;
        } else if (name == "--listen" || name == "--listen-guarded") {
            const auto listener = endpoint(*value, "");
            if (!listener) {
                return {std::nullopt, name + " takes ADDRESS:PORT (127.0.0.1:8080, [::1]:8080), not '" + *value + "'"};
            }
            o.listeners.push_back({listener->first, listener->second, name == "--listen-guarded"});
        } else if (name == "--silent-after") {
            const auto seconds = durationSeconds(*value);
            if (!seconds) {
                return {std::nullopt, "--silent-after takes a duration (90s, 30m, 24h, 7d; 0: never), not '" + *value + "'"};
            }
            o.silentAfterSeconds = *seconds;
        } else if (name == "--project-file") {
            if (value->empty()) return {std::nullopt, "--project-file needs a file name"};
            o.projectFile = *value;
        } else if (name == "--state-dir") {
            if (value->empty()) return {std::nullopt, "--state-dir needs a directory"};
            o.stateDir = *value;
        } else if (name == "--capture-memory") {
            const auto size = sizeBytes(*value);
            if (!size || (*size != 0 && *size < 64 * 1024) || *size > 1024 * 1024 * 1024) {
                return {std::nullopt, "--capture-memory takes a size from 64K to 1G (4M, 512K; 0: no capture), not '" +
                                          *value + "'"};
            }
            o.captureMemory = *size;
        } else if (name == "--capture-file") {
            if (value->empty()) return {std::nullopt, "--capture-file needs a file name"};
            o.captureFile = *value;
        } else if (name == "--capture-file-size") {
            const auto size = sizeBytes(*value);
            if (!size || *size < 64 * 1024) {
                return {std::nullopt, "--capture-file-size takes a size of at least 64K (16M, 1G), not '" + *value + "'"};
            }
            o.captureFileSize = *size;
        } else if (name == "--baud") {
            const std::string rates[] = {"9600", "19200", "38400", "57600", "115200"};
            if (std::find(std::begin(rates), std::end(rates), *value) == std::end(rates)) {
                return {std::nullopt, "--baud takes 9600, 19200, 38400, 57600 or 115200, not '" + *value + "'"};
            }
            o.baud = std::stoi(*value);
        } else if (name == "--rts" || name == "--dtr") {
            if (*value != "high" && *value != "low") {
                return {std::nullopt, name + " takes high or low, not '" + *value + "'"};
            }
            (name == "--rts" ? o.rts : o.dtr) = *value == "high";
        } else if (name == "--announce") {
            o.announce = true;
        } else if (name == "--scan") {
            o.scan = true;
        } else if (name == "--monitor") {
            o.monitor = true;
        } else if (name == "--no-delay") {
            o.noDelay = true;
        } else if (name == "--sync-clock") {
            o.syncClock = true;
        } else if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else {
            return {std::nullopt, "unknown option '" + name + "'"};
        }
    }
    if (o.tlsCertificate.has_value() != o.tlsKey.has_value()) {
        return {std::nullopt, "--tls-cert and --tls-key go together"};
    }
    const bool guarded = std::any_of(o.listeners.begin(), o.listeners.end(), [](const auto& l) { return l.guarded; });
    if (guarded && !o.tlsCertificate && !o.authKeyFile) {
        return {std::nullopt, "--listen-guarded needs --tls-cert and --tls-key, --auth-key-file, or both"};
    }
    if (o.captureFile && o.captureMemory == 0) {
        return {std::nullopt, "--capture-file needs the capture: leave out --capture-memory 0"};
    }
    if (o.webPeer && !o.webAddress) return {std::nullopt, "--web-peer needs --web"};
    if (o.webPeerTrusted && !o.webPeer) return {std::nullopt, "--web-peer-trusted needs --web-peer"};
    if (!o.listeners.empty() && (o.port || !o.bindAddress.empty())) {
        return {std::nullopt, "--bind and --port make the one listener; with --listen give each its address and port"};
    }
    return {o, {}};
}

std::string serviceUsage() {
    return "Usage: tessel-serverd [--config FILE] [--device PATH] [--port N] [--bind ADDRESS]\n"
           "                      [--monitor] [--no-delay] [--sync-clock]\n"
           "                      [--tls-cert FILE --tls-key FILE] [--auth-key-file FILE]\n"
           "                      [--listen ADDRESS:PORT]... [--listen-guarded ADDRESS:PORT]...\n"
           "                      [--web [ADDRESS:]PORT [--web-peer ADDRESS [--web-peer-trusted]]]\n"
           "                      [--scan] [--silent-after DURATION]\n"
           "                      [--state-dir DIR] [--capture-memory SIZE]\n"
           "                      [--capture-file FILE [--capture-file-size SIZE]]\n"
           "                      [--baud RATE] [--rts high|low] [--dtr high|low] [--announce]\n"
           "       tessel-serverd --state-dir DIR --project-file FILE\n"
           "       tessel-serverd --help | --version\n"
           "\n"
           "Shares one Velbus bus interface among any number of TCP clients: every bus frame\n"
           "goes to every client, client frames go to the bus 50 ms apart.\n"
           "\n"
           "  --config FILE    two lines, the serial device and the TCP port (default:\n"
           "                   Tessel-server.ini in the working directory, when it exists)\n"
           "  --device PATH    the serial device of the Velbus interface (over the file's);\n"
           "                   auto: the interface found by its USB identity, looked for again\n"
           "                   whenever it is lost (or name it by /dev/serial/by-id/...)\n"
           "  --port N         the TCP port, 1 to 65535 (over the file's; 8080 without either)\n"
           "  --bind ADDRESS   listen on this IPv4 or IPv6 address only; :: takes IPv6 and\n"
           "                   IPv4 (default: every IPv4 interface)\n"
           "  --monitor        one line per frame in either direction on standard output\n"
           "  --no-delay       5 ms between frames written to the bus instead of 50\n"
           "  --sync-clock     set the modules' clock, date and summer time from this host's\n"
           "                   local time: once the device is open (and when it is back), at\n"
           "                   every full hour, and when summer time begins or ends\n"
           "  --tls-cert FILE  every client speaks TLS 1.2 or newer, with this PEM certificate\n"
           "  --tls-key FILE   and this PEM private key; no handshake within 10 s: dropped\n"
           "  --auth-key-file FILE\n"
           "                   every client must send the key on the file's first line before\n"
           "                   anything else, within 5 s, or it is dropped; the key has at\n"
           "                   least 16 characters, and the file (and the TLS key's) must not\n"
           "                   be readable by group or others\n"
           "  --listen ADDRESS:PORT\n"
           "                   a plain listener (no TLS, no key), for instance for a server on\n"
           "                   this machine: 127.0.0.1:8080; may be given more than once\n"
           "  --listen-guarded ADDRESS:PORT\n"
           "                   a listener whose clients must get through the guard of\n"
           "                   --tls-cert/--tls-key and --auth-key-file; more than once too.\n"
           "                   With either, only these listeners are opened (not --bind/--port)\n"
           "  --web [ADDRESS:]PORT\n"
           "                   a live web monitor of the bus, with /metrics, /healthz and /livez, on\n"
           "                   this port (of 127.0.0.1 unless an address is given: 0.0.0.0:8081,\n"
           "                   [::]:8081); HTTPS with --tls-cert and --tls-key, and the\n"
           "                   --auth-key-file key as the password (any user name) for all\n"
           "                   but /healthz and /livez\n"
           "  --web-peer ADDRESS\n"
           "                   the web monitor takes connections from this address only (a\n"
           "                   proxy in front of it), in plain HTTP; any other is closed at once\n"
           "  --web-peer-trusted\n"
           "                   and asks that peer for no key: it has let its users in itself\n"
           "  --scan           ask the bus what it holds once the device is open, when it is\n"
           "                   back, and on SIGHUP: a type request to every address, then the\n"
           "                   channel and module names of what answered (without it the\n"
           "                   service writes no frame no client sent, but --sync-clock's)\n"
           "                   SIGHUP also writes the module table and reopens the capture file\n"
           "  --silent-after DURATION\n"
           "                   a module not heard for this long counts as silent: a journal\n"
           "                   line, the page and /metrics say so (default 24h; 0: never)\n"
           "  --project-file FILE\n"
           "                   write the house the state directory's table holds as a project\n"
           "                   file for the home-automation server (as the web monitor's\n"
           "                   /house.vlp gives it) to FILE, and exit\n"
           "  --state-dir DIR  keep the module table in DIR/modules.state across restarts\n"
           "                   (default: systemd's $STATE_DIRECTORY; without either, not kept)\n"
           "  --baud RATE      the serial line's rate: 9600 (the default), 19200, 38400, 57600\n"
           "                   or 115200; USB interfaces ignore it, the older RS232 one runs at\n"
           "                   38400, and then RTS is raised and DTR dropped, as it wants\n"
           "                   (not on a USB CDC device, which has no such lines)\n"
           "  --rts high|low, --dtr high|low\n"
           "                   set the modem lines so whatever the rate\n"
           "  --announce       answer the clients' LAN discovery (UDP port 32767) with this\n"
           "                   host's name, the version and the listeners' ports, and whether\n"
           "                   they need the key (never the key); at most 10 answers in any\n"
           "                   second, 2 of them to one sender\n"
           "  --capture-memory SIZE\n"
           "                   keep the recent traffic for a bug report, with its times, in\n"
           "                   this much memory (default 4M, about 200,000 frames; 0: none);\n"
           "                   the web monitor's /capture and its \"Download capture\" give it\n"
           "  --capture-file FILE\n"
           "                   write the capture to FILE as it comes too (at most a second\n"
           "                   behind), rotated to FILE.1 at --capture-file-size (default 16M)\n"
           "\n"
           "A certificate and key for --tls-cert and --tls-key:\n"
           "  openssl req -x509 -newkey rsa:3072 -nodes -days 3650 -subj /CN=tessel-server \\\n"
           "      -keyout tls-key.pem -out tls-cert.pem && chmod 600 tls-key.pem\n"
           "A key file for --auth-key-file:\n"
           "  (umask 077; openssl rand -hex 24 > auth-key)\n"
           "Clients then connect with tls://KEY@host:port.\n"
           "A plain listener for a server on this machine and a guarded one for the LAN:\n"
           "  tessel-serverd --device auto --listen 127.0.0.1:8080 --listen-guarded 0.0.0.0:8443 \\\n"
           "      --tls-cert tls-cert.pem --tls-key tls-key.pem --auth-key-file auth-key\n"
           "\n"
           "Exit codes: 0 stopped by SIGTERM or SIGINT, 1 the device or a port could not be\n"
           "opened, 2 a usage error or a configuration that will not do (a bad port, a file\n"
           "that cannot be read or that others may read, a TLS key of another certificate).\n";
}

}  // namespace tessel
