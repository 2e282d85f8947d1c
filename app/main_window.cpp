#include "app/main_window.h"

#include <array>
#include <string>
#include <utility>

#include "app/views.h"
#include "routing/statistics.h"

namespace tessel {

namespace {

// The window's fixed captions, in their table order.
const std::array<std::string, 22> kCaptionTable{
    "Clear", "Save", "Filter", "", "", "Disconnect All", "Quit", "0", "0",
    "Velbus Bandwidth", "bps (RX)", "bps (TX)", "!", "Time", "Frame Hex Code", "Len", "CSum",
    "Source", "IP Address and port", "Start Date", "End Date", "Nb Err"};

const std::string& caption(int position) { return kCaptionTable[static_cast<std::size_t>(position)]; }

}  // namespace

void createMainWindow(Gui& gui) {
    GtkWidget* w = gui.createWindow(kMainWindow, "Tessel-server", 666, 438, true);
    GdkGeometry hints{};
    hints.min_width = 30;
    hints.min_height = 30;
    gtk_window_set_geometry_hints(GTK_WINDOW(w), nullptr, &hints, GDK_HINT_MIN_SIZE);
    gtk_window_move(GTK_WINDOW(w), 356, 180);
    gtk_widget_show_all(w);

    const int widths[] = {250, 50, 50, 110, 110, 0};
    gui.addStatusBar(kMainWindow, widths);

    gui.addButton(kMainWindow, kClearButton, 295, 10, 55, 20, caption(0));
    gui.addButton(kMainWindow, kSaveButton, 355, 10, 55, 20, caption(1));
    gui.addToggle(kMainWindow, kFilterToggle, 595, 10, 55, 20, caption(2));
    gui.addEntry(kMainWindow, kFilterText, 480, 10, 110, 20, "", true);
    gui.addLabel(kMainWindow, kLineCountLabel, 10, 30, 250, 13, "");
    const std::pair<std::string, int> monitorColumns[] = {
        {caption(3), 35}, {caption(13), 55}, {caption(14), 200},
        {caption(15), 30}, {caption(16), 48}, {caption(17), 250}};
    gui.addList(kMainWindow, kMonitorList, 10, 45, 640, 145, monitorColumns, true);
    const std::pair<std::string, int> clientColumns[] = {
        {caption(4), 35}, {caption(18), 230}, {caption(19), 130}, {caption(20), 130},
        {caption(21), 50}};
    gui.addList(kMainWindow, kClientList, 10, 200, 640, 145, clientColumns, false);

    // Images 10 and 11: the two graphs, flat until the first statistics tick.
    const std::deque<BandwidthSample> empty(kGraphWidth);
    GObjectPtr<GdkPixbuf> rx(graphPixbuf(renderGraph(empty, GraphKind::Received)));
    GObjectPtr<GdkPixbuf> tx(graphPixbuf(renderGraph(empty, GraphKind::Transmitted)));
    gui.addImage(kMainWindow, kRxGraph, 10, 355, 120, 25, rx.get());
    gui.addImage(kMainWindow, kTxGraph, 10, 385, 120, 25, tx.get());

    gui.addButton(kMainWindow, kDisconnectAllButton, 565, 355, 85, 25, caption(5));
    gui.addButton(kMainWindow, kQuitButton, 565, 385, 45, 25, caption(6));
    gui.addButton(kMainWindow, kHelpButton, 625, 385, 23, 25, "?");
    gui.addEntry(kMainWindow, kRxRate, 135, 365, 50, 18, caption(7), false);
    gui.addEntry(kMainWindow, kTxRate, 135, 390, 50, 18, caption(8), false);
    gui.addLabel(kMainWindow, kBandwidthCaption, 135, 350, 165, 15, caption(9));
    gui.addLabel(kMainWindow, kRxCaption, 190, 370, 50, 15, caption(10));
    gui.addLabel(kMainWindow, kTxCaption, 190, 395, 50, 15, caption(11));
    gui.addToggle(kMainWindow, kInvertToggle, 460, 10, 15, 20, caption(12));
    gui.addCheckBox(kMainWindow, kDelayOption, 250, 355, 180, 20,
                    "Delay messages to Velbus (50ms)", true);
    gui.addCheckBox(kMainWindow, kDebugOption, 250, 375, 180, 20, "DebugMode (logfile)", true);
}

}  // namespace tessel
