#include "app/first_start_dialog.h"

namespace tessel {

namespace {

void buildDialog(Gui& gui) {
    GtkWidget* w = gui.createWindow(kDialogWindow, "Initial Configuration", 320, 170, false);
    gtk_window_set_position(GTK_WINDOW(w), GTK_WIN_POS_CENTER);
    gui.addButton(kDialogWindow, kDialogOk, 230, 140, 80, 20, "OK");
    gui.addButton(kDialogWindow, kDialogQuit, 150, 140, 70, 20, "Quit");
    gui.addLabel(kDialogWindow, kDialogIntro, 10, 10, 300, 40,
                 "It's the first start : you'll have to give information about Serial port and "
                 "Ethernet port :");
    gui.addLabel(kDialogWindow, kDialogSerialCaption, 10, 60, 220, 20,
                 "Enter the serial port name (eg. COM4)");
    gui.addLabel(kDialogWindow, kDialogPortCaption, 10, 90, 220, 20,
                 "Enter the Ethernet port number(>1024)");
    gui.addEntry(kDialogWindow, kDialogSerialName, 240, 60, 60, 20, "COM4", true);
    gui.addEntry(kDialogWindow, kDialogPortNumber, 240, 90, 60, 20, "8080", true);
    gtk_widget_show_all(w);
}

}  // namespace

std::optional<Configuration> runFirstStartDialog(Gui& gui, Configuration values,
                                                 SerialPortTable& serial, NetworkState& net,
                                                 const std::string& configPath) {
    buildDialog(gui);
    for (;;) {
        const WindowEvent event = gui.waitWindowEvent(kEventWaitMillis, {});
        if (event.code == WindowEventCode::CloseRequest || event.control == kDialogQuit) {
            gui.destroyWindow(kDialogWindow);
            return std::nullopt;
        }
        if (event.control != kDialogOk) continue;

        bool passed = true;
        const std::string portText = gui.text(kDialogPortNumber);
        const std::int64_t port = parseNumber(portText);
        if (createServer(net, 0, port) == 0) {
            gui.showMessage("Ethernet Port error",
                            "This network port (" + portText + ") isn't available !",
                            MessageKind::Ok);
            passed = false;
        } else {
            closeServer(net, 0);
            values.ethernetPort = port;
        }
        const std::string name = gui.text(kDialogSerialName);
        if (openVelbusPort(serial, 0, name) == 0) {
            gui.showMessage("Serial Port error",
                            "This Serial port (" + name + ") isn't available !", MessageKind::Ok);
            passed = false;
        } else {
            closeSerialPort(serial, 0);
            values.serialPortName = name;
        }
        if (!passed) continue;

        // A file that cannot be written does not stop the start: the next start asks again.
        writeConfigurationFile(configPath, values);
        gui.destroyWindow(kDialogWindow);
        return values;
    }
}

}  // namespace tessel
