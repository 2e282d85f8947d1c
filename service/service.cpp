#include "service/service.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "net/key_gate.h"
#include "net/tls_transport.h"
#include "serial/interface_lookup.h"
#include "serial/serial_port.h"
#include "platform/unique_fd.h"
#include "service/options.h"
#include "service/capture_keeper.h"
#include "service/lan_announce.h"
#include "service/service_shell.h"
#include "modules/module_state.h"
#include "modules/project_file.h"
#include "web/metrics.h"
#include "web/module_json.h"
#include "web/web_monitor.h"
#include "web/web_server.h"

namespace tessel {

namespace {

constexpr const char* kProgram = "tessel-serverd";
constexpr const char* kVersion = "3.08";

// What ends the service: one line on standard error, filed as an error when that is the journal.
void endingLine(const std::string& what) {
    writeJournalLine(stderr, std::string(kProgram) + ": " + what, JournalLevel::Error,
                     isJournalStream(STDERR_FILENO));
}

// One line, not the whole usage: the journal keeps every line of it.
int usageError(const std::string& what) {
    endingLine(what + "; see " + kProgram + " --help");
    return kExitUsage;
}

int configurationError(const std::string& what) {
    endingLine(what);
    return kExitUsage;
}

int startFailed(const std::string& what) {
    endingLine(what);
    return kExitStartFailed;
}

// The first of the interfaces found that no other program holds, so that a second bridge on
// the machine takes the next one.
std::optional<std::string> firstFreeInterface(const std::vector<std::string>& found) {
    for (const std::string& device : found) {
        if (!serialDeviceHeld(device)) return device;
    }
    return std::nullopt;
}

// "0.0.0.0:8080", "[::]:8080"
std::string listenText(const std::string& bind, std::int64_t port) {
    std::string address = bind.empty() ? "0.0.0.0" : bind;
    if (address.find(':') != std::string::npos && address.front() != '[') address = "[" + address + "]";
    return address + ":" + std::to_string(port);
}

// Why a file the service is given will not do, or nothing: it cannot be read, it is a folder,
// or (`ownerOnly`) others may read the secret it holds.
std::optional<std::string> fileProblem(const std::string& what, const std::string& path, bool ownerOnly) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "cannot read " + what + " " + path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "cannot read " + what + " " + path + ": it is a directory";
    if (ownerOnly && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        return what + " " + path + " is readable by group or others; make it the owner's alone (chmod 600 " +
               path + ")";
    }
    return std::nullopt;
}

// The key clients must send first: the first line of a file that only its owner may read.
// The key itself never appears in anything said.
std::optional<std::string> readSharedKey(const std::string& path, std::string& error) {
    if (auto problem = fileProblem("the key file", path, true)) {
        error = *problem;
        return std::nullopt;
    }
    auto key = readFirstLine(path);
    if (!key) {
        error = "cannot read the key file " + path + ": it is not a regular file";
        return std::nullopt;
    }
    if (key->empty()) {
        error = "the key file " + path + " has no key on its first line";
        return std::nullopt;
    }
    // Short keys are guessed; control characters (a frame's start byte among them) would let a
    // client's frame pass for the start of a key.
    if (key->size() < kMinimumKeyLength) {
        error = "the key file " + path + " holds a key of " + std::to_string(key->size()) +
                " characters: at least " + std::to_string(kMinimumKeyLength) +
                " are needed (make one with: openssl rand -hex 24)";
        return std::nullopt;
    }
    if (std::any_of(key->begin(), key->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        error = "the key file " + path + " holds a control character in its key";
        return std::nullopt;
    }
    return key;
}

// A PEM file's text, for the web server's TLS, which takes it from memory.
std::optional<std::string> fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Tells this run's event ids from those of the run before, so a page that reconnects across a
// restart starts afresh.
std::string instanceName() {
    return std::to_string(::getpid()) + "x" + std::to_string(static_cast<long long>(std::time(nullptr)));
}

MetricsValues metricsOf(const Bridge& bridge, const ServiceShell& shell, const WebServer& web,
                        const ModuleWatch& modules, std::int64_t uptimeSeconds) {
    MetricsValues v;
    v.version = kVersion;
    v.uptimeSeconds = uptimeSeconds;
    v.busFramesReceived = bridge.totals.busFramesReceived;
    v.busFramesWritten = bridge.totals.busFramesWritten;
    v.clientRunsNotFrames = bridge.totals.clientRunsNotFrames;
    v.busBytesReceived = bridge.totals.busBytesReceived;
    v.busBytesWritten = bridge.totals.busBytesWritten;
    v.clientsConnected = static_cast<std::int64_t>(connectionCount(bridge.net));
    v.clientsRefused = shell.refusedClients();
    v.serialLost = shell.serialLostCount();
    v.serialUp = !bridge.serialLost;
    v.busQueueFrames = static_cast<std::int64_t>(bridge.toBusQueue.size());
    v.busHolds = shell.holdCount();
    v.busWritesHeld = bridge.pacing.held();
    v.busOff = bridge.pacing.busOff;
    v.webStreams = static_cast<std::int64_t>(web.streamCount());
    v.webRefused = web.refusals();
    v.webConnectionsRefused = web.refusedConnections();
    v.webLoginsFailed = web.failedLogins();
    v.clientsRefusedForDescriptors = bridge.net.reserve.refusals();
    v.webStreamsDropped = web.droppedStreams();
    v.webWithoutRequest = web.connectionsWithoutRequest();
    const ModuleCounts counts = countModules(modules.table());
    v.modulesKnown = counts.known;
    v.modulesSilent = counts.silent;
    for (const auto& slot : modules.table().byAddress) {
        if (!slot) continue;
        v.modules.push_back({frameHexText(std::span<const std::uint8_t>(&slot->address, 1)), typeText(*slot),
                             moduleName(*slot), serialText(*slot), buildText(*slot), slot->lastSeen});
    }
    return v;
}

// What a listener asks of its clients: "plain", "tls", "key" or "tls+key".
std::string listenerRule(const ClientGuard& guard) {
    if (guard.transports && !guard.key.empty()) return "tls+key";
    if (guard.transports) return "tls";
    return guard.key.empty() ? "plain" : "key";
}

// SIGTERM, SIGINT and SIGHUP arrive as a readable descriptor, so the one loop sees them in its
// wait; SIGHUP never ends the service.
UniqueFd stopSignalDescriptor() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return UniqueFd();
    return UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

// The module table's file: in the state directory given, or systemd's for the unit; empty: none.
std::string statePathOf(const ServiceOptions& o) {
    const char* stateDirectory = std::getenv("STATE_DIRECTORY");
    if (o.stateDir) return *o.stateDir + "/" + kModuleStateFile;
    if (stateDirectory == nullptr || *stateDirectory == '\0') return {};
    // systemd may list several, separated by colons: the first is ours.
    const std::string first(stateDirectory, std::strcspn(stateDirectory, ":"));
    return first + "/" + kModuleStateFile;
}

// --project-file: the state directory's table as the home-automation server's project file,
// without opening the device or a port (a running service may hold them, and its table).
int writeProjectFile(const ServiceOptions& o) {
    const std::string statePath = statePathOf(o);
    if (statePath.empty()) return usageError("--project-file needs --state-dir (or systemd's STATE_DIRECTORY)");
    ModuleTable table;
    std::string error;
    switch (readModuleState(statePath, table, error, static_cast<std::int64_t>(std::time(nullptr)))) {
        case StateRead::Read: break;
        case StateRead::Cut:
            writeJournalLine(stderr, std::string(kProgram) + ": the module table in " + statePath +
                                         " was cut short: " + error, JournalLevel::Warning, false);
            break;
        case StateRead::Missing: return configurationError("no module table in " + statePath + " yet");
        case StateRead::Damaged:
        case StateRead::NotAFile: return configurationError("the module table in " + statePath + " does not read: " + error);
    }
    const std::string text = projectFile(table);
    UniqueFd fd(::open(o.projectFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid() || !writeWhole(fd.get(), text) || ::close(fd.release()) != 0) {
        const std::string why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return startFailed("cannot write the project file " + *o.projectFile + ": " + why);
    }
    const ProjectCounts counts = projectCounts(table);
    std::printf("project file %s: %lld modules, %lld left out (a type the server does not know), %lld without names heard yet\n",
                o.projectFile->c_str(), static_cast<long long>(counts.modules), static_cast<long long>(counts.leftOut),
                static_cast<long long>(counts.namesMissing));
    return kExitStopped;
}

// The configuration file and the options, merged: the device (found, for "auto") and the port.
struct StartSettings {
    Configuration config;
    std::string sysRoot;  // where the interfaces are looked up; only tests move it
    bool autoDevice = false;
};

std::optional<int> findAutoDevice(StartSettings& settings);

std::optional<int> readSettings(const ServiceOptions& o, StartSettings& settings) {
    Configuration& config = settings.config;
    std::string portLine;  // the file's, checked more strictly than the window does
    const std::string configPath = o.configPath.value_or(kConfigFileName);
    if (const auto lines = readConfigurationLines(configPath)) {
        config.serialPortName = (*lines)[0];
        portLine = (*lines)[1];
    } else if (o.configPath) {
        const auto problem = fileProblem("the configuration file", configPath, false);
        return configurationError(problem.value_or("cannot read the configuration file " + configPath +
                                                   ": it is not a regular file"));
    }
    if (o.device) config.serialPortName = *o.device;
    if (o.port) {
        config.ethernetPort = *o.port;
    } else if (const auto port = configuredPort(portLine)) {
        config.ethernetPort = *port;
    } else {
        return configurationError(configPath + ": the port '" + portLine + "' is not a number from 1 to 65535");
    }
    if (config.serialPortName.empty()) {
        return usageError("no serial device: give --device, or a configuration file whose first "
                          "line names it");
    }
    const char* root = std::getenv("TESSEL_SYSFS_ROOT");
    settings.sysRoot = root != nullptr && *root != '\0' ? root : "/";
    settings.autoDevice = config.serialPortName == "auto";
    return settings.autoDevice ? findAutoDevice(settings) : std::nullopt;
}

// "auto": the interface found by its USB identity, now and at every look after it is lost.
std::optional<int> findAutoDevice(StartSettings& settings) {
    const std::string& sysRoot = settings.sysRoot;
    const auto all = findVelbusInterfaces(sysRoot);
    if (all.empty()) {
        return startFailed("no Velbus interface found: no USB device " + velbusIdentitiesText() +
                           " among the terminals of " + sysRoot + (sysRoot.back() == '/' ? "" : "/") +
                           "sys/class/tty");
    }
    const auto free = firstFreeInterface(all);
    if (!free) {
        std::string names;
        for (const std::string& device : all) names += (names.empty() ? "" : ", ") + device;
        return startFailed("every Velbus interface found is busy, held by another program: " + names);
    }
    settings.config.serialPortName = *free;
    return std::nullopt;
}

// The guard before the device: a certificate or key that will not do touches nothing.
std::optional<int> loadGuard(const ServiceOptions& o, ClientGuard& guard) {
    if (o.tlsCertificate) {
        for (const auto& problem : {fileProblem("the TLS certificate", *o.tlsCertificate, false),
                                    fileProblem("the TLS key", *o.tlsKey, true)}) {
            if (problem) return configurationError(*problem);
        }
        std::string error;
        auto context = loadTlsContext(*o.tlsCertificate, *o.tlsKey, error);
        if (!context) return configurationError(error);
        guard.transports = tlsTransports(std::move(context));
    }
    if (o.authKeyFile) {
        std::string error;
        const auto key = readSharedKey(*o.authKeyFile, error);
        if (!key) return configurationError(error);
        guard.key = *key;
    }
    return std::nullopt;
}

// The bridge as the service runs it, with its device open.
std::optional<int> openBridge(const ServiceOptions& o, const StartSettings& settings, Bridge& bridge) {
    const Configuration& config = settings.config;
    bridge.config = config;
    bridge.bindAddress = o.bindAddress;
    if (o.noDelay) bridge.pacing.busSendDelay = kFastBusSendMillis;
    // One client's burst (a scan, a tool reading every memory) must not make the others wait.
    bridge.fairTurns = true;
    // Frames stay 2 ms apart for the clients, without the loop standing still after each: at
    // the bus's 150 frames a second that was a sleep and a wake-up per frame.
    bridge.clientSpacing.emplace();
    if (settings.autoDevice) {
        bridge.findDevice = [root = settings.sysRoot] { return firstFreeInterface(findVelbusInterfaces(root)); };
    }
    initNetwork(bridge.net);
    bridge.line = lineSettingsFor(o.baud, isUsbCdcTerminal(config.serialPortName, settings.sysRoot), o.rts, o.dtr);
    bridge.line.exclusive = true;
    if (openVelbusPort(bridge.serial, 0, config.serialPortName, bridge.line) != 0) return std::nullopt;
    if (errno == EBUSY) {
        return startFailed("the Velbus serial device " + config.serialPortName + " is busy: another program holds it");
    }
    return startFailed("cannot open the Velbus serial device " + config.serialPortName + ": " + std::strerror(errno));
}

// The listeners asked for, or the one of --bind and the port, guarded when a guard is set; and
// their names, by server number.
struct Listeners {
    std::vector<ListenerOption> asked;
    std::vector<std::string> names;
};

std::optional<int> openListeners(const ServiceOptions& o, const ClientGuard& guard, Bridge& bridge, Listeners& l) {
    l.asked = o.listeners;
    if (l.asked.empty()) {
        l.asked.push_back({o.bindAddress, static_cast<std::uint16_t>(bridge.config.ethernetPort), guard.active()});
    }
    for (std::size_t i = 0; i < l.asked.size(); ++i) {
        const ListenerOption& one = l.asked[i];
        const int number = static_cast<int>(i);
        if (createServer(bridge.net, number, one.port, one.address) == 0) {
            const std::string reason = std::strerror(errno);
            endProgram(bridge);
            return startFailed("cannot listen on " + listenText(one.address, one.port) + ": " + reason);
        }
        if (one.guarded) setServerGuard(bridge.net, number, guard);
        l.names.push_back(listenText(one.address, serverPort(bridge.net, number)) + " (" +
                          listenerRule(one.guarded ? guard : ClientGuard{}) + ")");
    }
    return std::nullopt;
}

std::string hostName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return host;
}

// What the service learns and keeps of the house and its traffic: the module table (in the
// state directory given, or systemd's for the unit) and the capture for a bug report.
struct ServiceState {
    ServiceState(const ServiceOptions& o, const std::string& host, const std::string& device, bool levelled,
                 WebMonitor* web)
        : modules(moduleSettingsOf(o),
                  [levelled](const std::string& text, JournalLevel level) { writeJournalLine(stdout, text, level, levelled); },
                  web),
          capture(captureSettingsOf(o), {kCaptureFormatVersion, host, device, kVersion},
                  [levelled](const std::string& text, bool warning) {
                      writeJournalLine(stdout, text, warning ? JournalLevel::Warning : JournalLevel::Info, levelled);
                  }) {}

    static ModuleWatchSettings moduleSettingsOf(const ServiceOptions& o) {
        ModuleWatchSettings settings;
        settings.silentAfter = o.silentAfterSeconds;
        settings.statePath = statePathOf(o);
        return settings;
    }
    static CaptureSettings captureSettingsOf(const ServiceOptions& o) {
        CaptureSettings settings;
        settings.memoryBytes = static_cast<std::size_t>(o.captureMemory);
        settings.filePath = o.captureFile.value_or("");
        settings.fileSize = static_cast<std::uint64_t>(o.captureFileSize);
        return settings;
    }

    ModuleWatch modules;
    CaptureKeeper capture;
};

// What the web monitor serves beside the page, read from the running service.
WebContent webContentOf(const ServiceOptions& o, Bridge& bridge, ServiceShell& shell, ServiceState& state,
                        std::int64_t startMillis) {
    WebContent content{
        [&bridge, &shell, &state, startMillis](const WebServer& web) {
            const std::int64_t uptime = (bridge.clock.elapsedMillis() - startMillis) / 1000;
            return metricsText(metricsOf(bridge, shell, web, state.modules, uptime));
        },
        [&bridge] { return bridge.serialLost ? serialLostLine(bridge.config.serialPortName) : std::string(); },
        [&shell](const std::string& address, const std::string& reason) { shell.webLoginFailed(address, reason); },
        [&state] {
            return modulesDocument(state.modules.table(), static_cast<std::int64_t>(std::time(nullptr)),
                                   state.modules.silentAfter());
        },
        {},
        [&state] {
            return downloadOf(std::make_shared<ProjectFileText>(state.modules.table()),
                              projectFileName(static_cast<std::int64_t>(std::time(nullptr))));
        }};
    if (o.captureMemory > 0) {
        content.capture = [&state](std::optional<std::int64_t> minutes) {
            const std::int64_t now = captureTimeNow(0).wallMicros;
            return downloadOf(
                std::shared_ptr<CaptureText>(state.capture.download(minutes ? now - *minutes * 60'000'000 : INT64_MIN)),
                state.capture.fileName(now / 1'000'000));
        };
    }
    return content;
}

// --web: the web monitor started, with the same guard as the clients' port; its address as
// said in the journal, or an exit code.
std::optional<int> startWeb(const ServiceOptions& o, const ClientGuard& guard, Bridge& bridge, WebServer& web,
                            std::string& webText) {
    WebSettings settings;
    settings.address = *o.webAddress;
    settings.port = o.webPort;
    // Behind its proxy it speaks plain HTTP, as a proxy on the same host or network expects;
    // the proxy speaks TLS to the browsers.
    if (o.tlsCertificate && !o.webPeer) {
        const auto certificate = fileText(*o.tlsCertificate);
        const auto key = fileText(*o.tlsKey);
        if (!certificate || !key) {
            endProgram(bridge);
            return configurationError("cannot read the TLS certificate or key for the web monitor");
        }
        settings.certificatePem = *certificate;
        settings.keyPem = *key;
    }
    settings.key = guard.key;
    settings.peer = o.webPeer.value_or("");
    settings.peerTrusted = o.webPeerTrusted;
    std::string error;
    if (!web.start(settings, error)) {
        endProgram(bridge);
        return startFailed("cannot serve the web monitor on " + listenText(*o.webAddress, o.webPort) + ": " + error);
    }
    webText = (o.tlsCertificate ? "https://" : "http://") + listenText(*o.webAddress, web.port()) + "/";
    // The page lists the newest ended clients and counts the others of the hour, kept current by
    // a sweep each minute: a connection storm must not fill it or the memory.
    bridge.clientTable.endedLimit = kWebEndedClients;
    bridge.sweepMillis = 60'000;
    return std::nullopt;
}

// What the LAN discovery says of this service: the host, the version and each listener's rule.
AnnounceIdentity announceIdentityOf(const std::string& host, const ClientGuard& guard, const Bridge& bridge,
                                    const Listeners& listeners) {
    AnnounceIdentity identity{host, kVersion, {}};
    for (std::size_t i = 0; i < listeners.asked.size(); ++i) {
        const bool guarded = listeners.asked[i].guarded;
        identity.listeners.push_back({listeners.asked[i].address,
                                      static_cast<std::uint16_t>(serverPort(bridge.net, static_cast<int>(i))),
                                      guarded && !guard.key.empty(), guarded && guard.transports != nullptr});
    }
    return identity;
}

// --announce: one UDP descriptor more in the same wait. Only tests move it off 32767.
std::optional<int> startAnnouncer(Bridge& bridge, LanAnnouncer& announcer) {
    const char* moved = std::getenv("TESSEL_ANNOUNCE_PORT");
    const auto port = moved != nullptr ? static_cast<std::uint16_t>(std::atoi(moved)) : kAnnouncePort;
    std::string error;
    if (!announcer.start(port, error)) {
        endProgram(bridge);
        return startFailed("cannot answer the LAN discovery on UDP port " + std::to_string(port) + ": " + error);
    }
    return std::nullopt;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

// From the open device and listeners to the stop: the state, the web monitor, the announcer,
// then the loop.
int serve(const ServiceOptions& o, const ClientGuard& guard, Bridge& bridge, const Listeners& listeners, int stop) {
    Clock& clock = bridge.clock;
    bridge.stats.lastStatsMillis = bridge.lastSweepMillis = clock.elapsedMillis();
    bridge.stats.serverStartDate = clock.currentDate();
    const std::int64_t startMillis = clock.elapsedMillis();
    const std::string& device = bridge.config.serialPortName;
    const bool levelled = isJournalStream(STDOUT_FILENO);

    WebMonitor webMonitor(instanceName());
    WebMonitor* shownOnWeb = o.webAddress ? &webMonitor : nullptr;
    ServiceShell shell(stop, o.monitor, stdout, device, shownOnWeb);
    const std::string host = hostName();
    ServiceState state(o, host, device, levelled, shownOnWeb);
    WebServer web(webMonitor, clock, webContentOf(o, bridge, shell, state, startMillis));
    std::string webText;
    if (o.webAddress) {
        if (auto exit = startWeb(o, guard, bridge, web, webText)) return *exit;
        std::vector<std::string> shown = listeners.names;
        shown.push_back(webText);
        webMonitor.setStatus({kVersion, device, true, false, false, shown, o.captureMemory > 0});
        shell.serveWeb(web);
    }
    // With listeners of their own choosing, the journal and the web monitor say which a client
    // came in by.
    if (!o.listeners.empty()) shell.nameListeners(bridge.net, listeners.names);
    writeJournalLine(stdout,
                     std::string(kProgram) + " " + kVersion + " listening on " + joined(listeners.names) +
                         ", Velbus serial " + device + lineSettingsText(bridge.line) +
                         (webText.empty() ? "" : ", web monitor on " + webText),
                     JournalLevel::Info, levelled);
    if (o.syncClock) shell.syncClock([] { return localTimeAt(std::time(nullptr)); });
    state.modules.start(static_cast<std::int64_t>(std::time(nullptr)));
    state.modules.nameSenders([&bridge](SenderId id) {
        // The client is still in the table in the pass its frames are handed on.
        const ClientRecord* client = findClient(bridge.clientTable, id);
        return client != nullptr ? clientName(*client) : id == kFrontEndSender ? std::string(kProgram) : "client " + std::to_string(id);
    });
    shell.watchModules(state.modules);
    if (o.scan) shell.scanBus();
    if (o.captureMemory > 0) shell.keepCapture(state.capture, clock, bridge.net, listeners.names);
    LanAnnouncer announcer(announceIdentityOf(host, guard, bridge, listeners));
    if (o.announce) {
        if (auto exit = startAnnouncer(bridge, announcer)) return *exit;
        shell.announce(announcer);
    }
    // Ready: the device is open and every listener listens.
    SystemdNotifier systemd;
    shell.notifySystemd(systemd);
    systemd.ready(shell.statusText());
    mainLoop(bridge, shell);
    shell.stopping();
    systemd.stopping();
    writeJournalLine(stdout, "stopped", JournalLevel::Info, levelled);
    return kExitStopped;
}

}  // namespace

int runService(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParsedOptions parsed = parseServiceOptions(args);
    if (!parsed.options) return usageError(parsed.error);
    const ServiceOptions& o = *parsed.options;
    if (o.help) {
        std::fputs(serviceUsage().c_str(), stdout);
        return kExitStopped;
    }
    if (o.version) {
        std::printf("%s %s\n", kProgram, kVersion);
        return kExitStopped;
    }
    if (o.projectFile) return writeProjectFile(o);
    StartSettings settings;
    if (auto exit = readSettings(o, settings)) return *exit;
    ClientGuard guard;
    if (auto exit = loadGuard(o, guard)) return *exit;
    const UniqueFd stop = stopSignalDescriptor();
    if (!stop.valid()) return startFailed(std::string("cannot watch for signals: ") + std::strerror(errno));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SystemClock clock;
    clock.elapsedMillis();  // the counter starts here
    Bridge bridge(clock);
    if (auto exit = openBridge(o, settings, bridge)) return *exit;
    Listeners listeners;
    if (auto exit = openListeners(o, guard, bridge, listeners)) return *exit;
    return serve(o, guard, bridge, listeners, stop.get());
}

}  // namespace tessel
