#include "app/startup.h"

#include <cstdio>
#include <string>

#include "app/first_start_dialog.h"
#include "app/main_loop.h"
#include "app/main_window.h"

namespace tessel {

int runProgram(int argc, char** argv) {
    if (!gtk_init_check(&argc, &argv)) {
        // Every way out exits with 0; the person starting it learns why in one line.
        const char* named = gdk_get_display_arg_name();
        if (named == nullptr) named = g_getenv("DISPLAY");
        const std::string tried = named != nullptr && *named != '\0'
                                      ? "display \"" + std::string(named) + "\""
                                      : std::string("one: DISPLAY is not set");
        std::fprintf(stderr, "tessel-server needs a graphical display and could not open %s\n",
                     tried.c_str());
        return 0;
    }
    SystemClock clock;
    clock.elapsedMillis();  // the counter starts here
    Gui gui;
    Bridge bridge(clock);
    initNetwork(bridge.net);

    if (auto config = readConfigurationFile(kConfigFileName)) {
        bridge.config = *config;
    } else {
        gui.showMessage("Tessel-server.ini NOT FOUND",
                        "Tessel-server.ini NOT FOUND : Start with default parameters (port=8080, "
                        "serial=COM4)",
                        MessageKind::Ok);
        auto chosen =
            runFirstStartDialog(gui, bridge.config, bridge.serial, bridge.net, kConfigFileName);
        if (!chosen) return 0;
        bridge.config = *chosen;
    }

    createMainWindow(gui);
    WindowShell shell(gui, clock);
    gui.setStatusField(kEthernetField, "Ethernet port " + std::to_string(bridge.config.ethernetPort));

    if (openVelbusPort(bridge.serial, 0, bridge.config.serialPortName) == 0) {
        gui.showMessage("Serial Error",
                        "Error : Not able To communicate With " + bridge.config.serialPortName,
                        MessageKind::Ok);
        return 0;
    }
    gui.setStatusField(kSerialField, "Velbus serial " + bridge.config.serialPortName);
    gui.setTitle(kMainWindow, std::string("Tessel-Server ") + kVersionText);

    bridge.lastSweepMillis = clock.elapsedMillis();
    bridge.stats.lastStatsMillis = clock.elapsedMillis();

    if (createServer(bridge.net, 0, bridge.config.ethernetPort) == 0) {
        gui.showMessage("NOT ABLE TO CREATE SERVER", "Can't start Tessel-server on this port",
                        MessageKind::Ok);
        endProgram(bridge);
        return 0;
    }
    bridge.stats.serverStartDate = clock.currentDate();

    mainLoop(bridge, shell);
    return 0;
}

}  // namespace tessel
