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

namespace {

using Error = std::optional<std::string>;

Error takeListener(ServiceOptions& o, const std::string& name, const std::string& value, bool guarded) {
    const auto listener = endpoint(value, "");
    if (!listener) return name + " takes ADDRESS:PORT (127.0.0.1:8080, [::1]:8080), not '" + value + "'";
    o.listeners.push_back({listener->first, listener->second, guarded});
    return std::nullopt;
}

Error takeModemLine(const std::string& name, const std::string& value, std::optional<bool>& line) {
    if (value != "high" && value != "low") return name + " takes high or low, not '" + value + "'";
    line = value == "high";
    return std::nullopt;
}

Error needsText(const std::string& name, const std::string& value, const char* what, std::optional<std::string>& into) {
    if (value.empty()) return name + " needs " + what;
    into = value;
    return std::nullopt;
}

// The options, one row each: its name, what it takes (none: a switch), how --help describes it
// (none: the synopsis alone names it), and how its value is taken.
struct OptionRow {
    const char* name;
    const char* value;
    const char* help;
    Error (*take)(ServiceOptions& o, const std::string& name, const std::string& value);
    const char* describedWith = nullptr;  // another option this row's help covers too
};

const OptionRow kOptions[] = {
    {"--config", "FILE",
     "two lines, the serial device and the TCP port (default:\n"
     "Tessel-server.ini in the working directory, when it exists)",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a file name", o.configPath); }},
    {"--device", "PATH",
     "the serial device of the Velbus interface (over the file's);\n"
     "auto: the interface found by its USB identity, looked for again\n"
     "whenever it is lost (or name it by /dev/serial/by-id/...)",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a device path", o.device); }},
    {"--port", "N", "the TCP port, 1 to 65535 (over the file's; 8080 without either)",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         o.port = portNumber(v);
         if (!o.port) return "--port takes a number from 1 to 65535, not '" + v + "'";
         return std::nullopt;
     }},
    {"--bind", "ADDRESS",
     "listen on this IPv4 or IPv6 address only; :: takes IPv6 and\n"
     "IPv4 (default: every IPv4 interface)",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         if (!validListenAddress(v)) return "--bind takes an IPv4 or IPv6 address, not '" + v + "'";
         o.bindAddress = v;
         return std::nullopt;
     }},
    {"--monitor", nullptr, "one line per frame in either direction on standard output",
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.monitor = true; return std::nullopt; }},
    {"--no-delay", nullptr, "5 ms between frames written to the bus instead of 50",
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.noDelay = true; return std::nullopt; }},
    {"--sync-clock", nullptr,
     "set the modules' clock, date and summer time from this host's\n"
     "local time: once the device is open (and when it is back), at\n"
     "every full hour, and when summer time begins or ends",
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.syncClock = true; return std::nullopt; }},
    {"--tls-cert", "FILE", "every client speaks TLS 1.2 or newer, with this PEM certificate",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a file name", o.tlsCertificate); }},
    {"--tls-key", "FILE", "and this PEM private key; no handshake within 10 s: dropped",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a file name", o.tlsKey); }},
    {"--auth-key-file", "FILE",
     "every client must send the key on the file's first line before\n"
     "anything else, within 5 s, or it is dropped; the key has at\n"
     "least 16 characters, and the file (and the TLS key's) must not\n"
     "be readable by group or others",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a file name", o.authKeyFile); }},
    {"--listen", "ADDRESS:PORT",
     "a plain listener (no TLS, no key), for instance for a server on\n"
     "this machine: 127.0.0.1:8080; may be given more than once",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return takeListener(o, n, v, false); }},
    {"--listen-guarded", "ADDRESS:PORT",
     "a listener whose clients must get through the guard of\n"
     "--tls-cert/--tls-key and --auth-key-file; more than once too.\n"
     "With either, only these listeners are opened (not --bind/--port)",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return takeListener(o, n, v, true); }},
    {"--web", "[ADDRESS:]PORT",
     "a live web monitor of the bus, with /metrics, /healthz and /livez, on\n"
     "this port (of 127.0.0.1 unless an address is given: 0.0.0.0:8081,\n"
     "[::]:8081); HTTPS with --tls-cert and --tls-key, and the\n"
     "--auth-key-file key as the password (any user name) for all\n"
     "but /healthz and /livez",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         const auto web = endpoint(v, "127.0.0.1");
         if (!web) return "--web takes [ADDRESS:]PORT (8081, 0.0.0.0:8081, [::]:8081), not '" + v + "'";
         o.webAddress = web->first;
         o.webPort = web->second;
         return std::nullopt;
     }},
    {"--web-peer", "ADDRESS",
     "the web monitor takes connections from this address only (a\n"
     "proxy in front of it), in plain HTTP; any other is closed at once",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         o.webPeer = peerAddress(v);
         if (!o.webPeer) return "--web-peer takes an IPv4 or IPv6 address, not '" + v + "'";
         return std::nullopt;
     }},
    {"--web-peer-trusted", nullptr, "and asks that peer for no key: it has let its users in itself",
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.webPeerTrusted = true; return std::nullopt; }},
    {"--scan", nullptr,
     "ask the bus what it holds once the device is open, when it is\n"
     "back, and on SIGHUP: a type request to every address, then the\n"
     "channel and module names of what answered (without it the\n"
     "service writes no frame no client sent, but --sync-clock's)\n"
     "SIGHUP also writes the module table and reopens the capture file",
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.scan = true; return std::nullopt; }},
    {"--silent-after", "DURATION",
     "a module not heard for this long counts as silent: a journal\n"
     "line, the page and /metrics say so (default 24h; 0: never)",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         const auto seconds = durationSeconds(v);
         if (!seconds) return "--silent-after takes a duration (90s, 30m, 24h, 7d; 0: never), not '" + v + "'";
         o.silentAfterSeconds = *seconds;
         return std::nullopt;
     }},
    {"--project-file", "FILE",
     "write the house the state directory's table holds as a project\n"
     "file for the home-automation server (as the web monitor's\n"
     "/house.vlp gives it) to FILE, and exit",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a file name", o.projectFile); }},
    {"--state-dir", "DIR",
     "keep the module table in DIR/modules.state across restarts\n"
     "(default: systemd's $STATE_DIRECTORY; without either, not kept)",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a directory", o.stateDir); }},
    {"--baud", "RATE",
     "the serial line's rate: 9600 (the default), 19200, 38400, 57600\n"
     "or 115200; USB interfaces ignore it, the older RS232 one runs at\n"
     "38400, and then RTS is raised and DTR dropped, as it wants\n"
     "(not on a USB CDC device, which has no such lines)",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         const std::string rates[] = {"9600", "19200", "38400", "57600", "115200"};
         if (std::find(std::begin(rates), std::end(rates), v) == std::end(rates)) {
             return "--baud takes 9600, 19200, 38400, 57600 or 115200, not '" + v + "'";
         }
         o.baud = std::stoi(v);
         return std::nullopt;
     }},
    {"--rts", "high|low", "set the modem lines so whatever the rate",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return takeModemLine(n, v, o.rts); }, "--dtr"},
    {"--dtr", "high|low", nullptr,
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return takeModemLine(n, v, o.dtr); }},
    {"--announce", nullptr,
     "answer the clients' LAN discovery (UDP port 32767) with this\n"
     "host's name, the version and the listeners' ports, and whether\n"
     "they need the key (never the key); at most 10 answers in any\n"
     "second, 2 of them to one sender",
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.announce = true; return std::nullopt; }},
    {"--capture-memory", "SIZE",
     "keep the recent traffic for a bug report, with its times, in\n"
     "this much memory (default 4M, about 200,000 frames; 0: none);\n"
     "the web monitor's /capture and its \"Download capture\" give it",
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         const auto size = sizeBytes(v);
         if (!size || (*size != 0 && *size < 64 * 1024) || *size > 1024 * 1024 * 1024) {
             return "--capture-memory takes a size from 64K to 1G (4M, 512K; 0: no capture), not '" + v + "'";
         }
         o.captureMemory = *size;
         return std::nullopt;
     }},
    {"--capture-file", "FILE",
     "write the capture to FILE as it comes too (at most a second\n"
     "behind), rotated to FILE.1 at --capture-file-size (default 16M)",
     [](ServiceOptions& o, const std::string& n, const std::string& v) { return needsText(n, v, "a file name", o.captureFile); }},
    {"--capture-file-size", "SIZE", nullptr,
     [](ServiceOptions& o, const std::string&, const std::string& v) -> Error {
         const auto size = sizeBytes(v);
         if (!size || *size < 64 * 1024) return "--capture-file-size takes a size of at least 64K (16M, 1G), not '" + v + "'";
         o.captureFileSize = *size;
         return std::nullopt;
     }},
    {"--help", nullptr, nullptr,
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.help = true; return std::nullopt; }},
    {"-h", nullptr, nullptr,
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.help = true; return std::nullopt; }},
    {"--version", nullptr, nullptr,
     [](ServiceOptions& o, const std::string&, const std::string&) -> Error { o.version = true; return std::nullopt; }},
};

const OptionRow* optionNamed(const std::string& name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

// What no single option can tell: the options that go together or exclude each other.
Error combinationProblem(const ServiceOptions& o) {
    if (o.tlsCertificate.has_value() != o.tlsKey.has_value()) return "--tls-cert and --tls-key go together";
    const bool guarded = std::any_of(o.listeners.begin(), o.listeners.end(), [](const auto& l) { return l.guarded; });
    if (guarded && !o.tlsCertificate && !o.authKeyFile) {
        return "--listen-guarded needs --tls-cert and --tls-key, --auth-key-file, or both";
    }
    if (o.captureFile && o.captureMemory == 0) return "--capture-file needs the capture: leave out --capture-memory 0";
    if (o.webPeer && !o.webAddress) return "--web-peer needs --web";
    if (o.webPeerTrusted && !o.webPeer) return "--web-peer-trusted needs --web-peer";
    if (!o.listeners.empty() && (o.port || !o.bindAddress.empty())) {
        return "--bind and --port make the one listener; with --listen give each its address and port";
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> serviceOptionNames() {
    std::vector<std::string> names;
    for (const OptionRow& row : kOptions) names.emplace_back(row.name);
    return names;
}

bool serviceOptionTakesValue(const std::string& name) {
    const OptionRow* row = optionNamed(name);
    return row != nullptr && row->value != nullptr;
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
        const OptionRow* row = optionNamed(name);
        if (row == nullptr) return {std::nullopt, value ? name + " takes no value" : "unknown option '" + name + "'"};
        if (row->value != nullptr && !value) {
            if (i + 1 >= args.size()) return {std::nullopt, name + " needs a value"};
            value = args[++i];
        }
        if (row->value == nullptr && value) return {std::nullopt, name + " takes no value"};
        if (Error error = row->take(o, name, value.value_or(""))) return {std::nullopt, *error};
    }
    if (Error error = combinationProblem(o)) return {std::nullopt, *error};
    return {o, {}};
}

std::string optionsHelp() {
    // A name that fits is followed by its help on the same line, in the 20th column; a longer one
    // has a line of its own.
    constexpr std::size_t kHelpColumn = 19;
    std::string text;
    for (const OptionRow& row : kOptions) {
        if (row.help == nullptr) continue;
        std::string shown = std::string(row.name) + (row.value != nullptr ? std::string(" ") + row.value : "");
        if (const OptionRow* with = row.describedWith != nullptr ? optionNamed(row.describedWith) : nullptr) {
            shown += std::string(", ") + with->name + " " + with->value;
        }
        text += "  " + shown;
        if (shown.size() + 4 <= kHelpColumn) {
            text += std::string(kHelpColumn - 2 - shown.size(), ' ');
        } else {
            text += "\n" + std::string(kHelpColumn, ' ');
        }
        for (const char* c = row.help; *c != '\0'; ++c) {
            text += *c;
            if (*c == '\n') text += std::string(kHelpColumn, ' ');
        }
        text += '\n';
    }
    return text;
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
           "\n" +
           optionsHelp() +
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
