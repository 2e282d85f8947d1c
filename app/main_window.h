// The main window and its controls at their fixed numbers and places.
#pragma once
#include "app/gui.h"

namespace tessel {

enum MainControl {
    kClearButton = 2,
    kSaveButton = 3,
    kFilterToggle = 4,
    kFilterText = 5,
    kMonitorList = 6,
    kClientList = 7,
    kRxGraph = 8,
    kTxGraph = 9,
    kDisconnectAllButton = 12,
    kQuitButton = 13,
    kHelpButton = 14,
    kRxRate = 15,
    kTxRate = 16,
    kBandwidthCaption = 17,
    kRxCaption = 19,
    kTxCaption = 20,
    kLineCountLabel = 21,
    kInvertToggle = 22,
    kDelayOption = 23,
    kDebugOption = 24,
};

enum StatusField {
    kUptimeField = 0,
    kBusFramesField = 1,
    kClientRunsField = 2,
    kSerialField = 3,
    kEthernetField = 4,
    kClockField = 5,
};

inline constexpr const char* kVersionText = "3.08*";
inline constexpr int kMainWindow = 0;

void createMainWindow(Gui& gui);

}  // namespace tessel
