// The "Initial Configuration" dialog of a first start: asks for the serial device and the TCP
// port, checks both against the real devices, and writes the configuration file.
#pragma once
#include <optional>
#include <string>

#include "bridge/config.h"
#include "app/gui.h"
#include "net/tcp_server.h"
#include "serial/serial_port.h"

namespace tessel {

enum DialogControl {
    kDialogOk = 25,
    kDialogQuit = 26,
    kDialogIntro = 27,
    kDialogSerialCaption = 28,
    kDialogPortCaption = 29,
    kDialogSerialName = 30,
    kDialogPortNumber = 31,
};
inline constexpr int kDialogWindow = 1;

// Returns the checked values (already written to `configPath` when it could be), or nothing
// when the operator quit or closed the dialog.
std::optional<Configuration> runFirstStartDialog(Gui& gui, Configuration values,
                                                 SerialPortTable& serial, NetworkState& net,
                                                 const std::string& configPath);

}  // namespace tessel
