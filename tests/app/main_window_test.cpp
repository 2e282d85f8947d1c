#include <gtest/gtest.h>

#include "app/main_window.h"
#include "support/gui_fixture.h"

namespace tessel {
namespace {

using test::Placement;

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        createMainWindow(gui);
        test::processPendingEvents();
    }
    Gui gui;
};

struct ControlCase {
    int control;
    GType (*kind)();
    Placement place;
    const char* text;
};

TEST_F(MainWindow, EveryControlSitsWhereTheTableSaysWithItsCaption) {
    const ControlCase table[] = {
        {kClearButton, gtk_button_get_type, {295, 10, 55, 20}, "Clear"},
        {kSaveButton, gtk_button_get_type, {355, 10, 55, 20}, "Save"},
        {kFilterToggle, gtk_toggle_button_get_type, {595, 10, 55, 20}, "Filter"},
        {kFilterText, gtk_entry_get_type, {480, 10, 110, 20}, ""},
        {kLineCountLabel, gtk_label_get_type, {10, 30, 250, 13}, ""},
        {kMonitorList, gtk_scrolled_window_get_type, {10, 45, 640, 145}, ""},
        {kClientList, gtk_scrolled_window_get_type, {10, 200, 640, 145}, ""},
        {kRxGraph, gtk_frame_get_type, {10, 355, 120, 25}, ""},
        {kTxGraph, gtk_frame_get_type, {10, 385, 120, 25}, ""},
        {kDisconnectAllButton, gtk_button_get_type, {565, 355, 85, 25}, "Disconnect All"},
        {kQuitButton, gtk_button_get_type, {565, 385, 45, 25}, "Quit"},
        {kHelpButton, gtk_button_get_type, {625, 385, 23, 25}, "?"},
        {kRxRate, gtk_entry_get_type, {135, 365, 50, 18}, "0"},
        {kTxRate, gtk_entry_get_type, {135, 390, 50, 18}, "0"},
        {kBandwidthCaption, gtk_label_get_type, {135, 350, 165, 15}, "Velbus Bandwidth"},
        {kRxCaption, gtk_label_get_type, {190, 370, 50, 15}, "bps (RX)"},
        {kTxCaption, gtk_label_get_type, {190, 395, 50, 15}, "bps (TX)"},
        {kInvertToggle, gtk_toggle_button_get_type, {460, 10, 15, 20}, "!"},
        {kDelayOption, gtk_check_button_get_type, {250, 355, 180, 20}, "Delay messages to Velbus (50ms)"},
        {kDebugOption, gtk_check_button_get_type, {250, 375, 180, 20}, "DebugMode (logfile)"},
    };
    for (const auto& c : table) {
        GtkWidget* w = gui.control(c.control);
        ASSERT_NE(w, nullptr) << c.control;
        EXPECT_EQ(G_OBJECT_TYPE(w), c.kind()) << c.control;
        EXPECT_EQ(test::placementOf(w), c.place) << c.control;
        EXPECT_EQ(gui.text(c.control), c.text) << c.control;
    }
    EXPECT_TRUE(gui.isOn(kDelayOption));
    EXPECT_TRUE(gui.isOn(kDebugOption));
    EXPECT_FALSE(gui.isOn(kFilterToggle));
    EXPECT_FALSE(gui.isOn(kInvertToggle));
    EXPECT_FALSE(gtk_editable_get_editable(GTK_EDITABLE(gui.control(kRxRate))));
    EXPECT_TRUE(gtk_editable_get_editable(GTK_EDITABLE(gui.control(kFilterText))));
}

TEST_F(MainWindow, WindowTitleSizeAndStatusBar) {
    GtkWidget* w = gui.window(kMainWindow);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w)), "Tessel-server");
    EXPECT_EQ(w->allocation.width, 666);
    EXPECT_EQ(w->allocation.height, 438);
    for (int field = 0; field < 6; ++field) EXPECT_EQ(gui.statusField(field), "");
    gui.setStatusField(kSerialField, "Velbus serial /dev/ttyACM0");
    EXPECT_EQ(gui.statusField(kSerialField), "Velbus serial /dev/ttyACM0");
}

// What the toolkit would show when the pointer rests on the control.
std::string tooltipOf(GtkWidget* w) {
    if (!gtk_widget_get_has_tooltip(w)) return "";
    GtkTooltip* tooltip = GTK_TOOLTIP(g_object_new(GTK_TYPE_TOOLTIP, nullptr));
    gboolean shown = FALSE;
    g_signal_emit_by_name(w, "query-tooltip", 1, 1, FALSE, tooltip, &shown);
    g_object_unref(tooltip);
    return shown ? wholeTextWhenClipped(w) : "";
}

// Sizes and positions stay as they are; a text that does not fit gets its whole self as a
// tooltip, one that fits gets none.
TEST_F(MainWindow, TextsThatDoNotFitAreShownWholeInATooltip) {
    const std::string longName = "Velbus serial /dev/serial/by-id/usb-Velbus_USB_interface-if00";
    gui.setStatusField(kSerialField, longName);
    gui.setStatusField(kBusFramesField, "V:0");
    test::processPendingEvents();
    EXPECT_EQ(tooltipOf(gui.statusFieldLabel(kSerialField)), longName);
    EXPECT_EQ(tooltipOf(gui.statusFieldLabel(kBusFramesField)), "");
    EXPECT_EQ(tooltipOf(gui.control(kClearButton)), "");
    gui.setStatusField(kSerialField, "Velbus serial");
    test::processPendingEvents();
    EXPECT_EQ(tooltipOf(gui.statusFieldLabel(kSerialField)), "");
    // A text that changes while it is clipped is shown as it is now.
    gui.setStatusField(kSerialField, longName + "-a");
    test::processPendingEvents();
    gui.setStatusField(kSerialField, longName + "-b");
    EXPECT_EQ(tooltipOf(gui.statusFieldLabel(kSerialField)), longName + "-b");

    for (const int control : {kClearButton, kSaveButton, kFilterToggle, kDisconnectAllButton, kQuitButton,
                              kHelpButton, kInvertToggle, kDelayOption, kDebugOption, kBandwidthCaption,
                              kRxCaption, kTxCaption, kLineCountLabel}) {
        GtkWidget* w = gui.control(control);
        GtkWidget* label = GTK_IS_LABEL(w) ? w : gtk_bin_get_child(GTK_BIN(w));
        int width = 0, height = 0;
        pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &width, &height);
        const bool clipped = gtk_label_get_line_wrap(GTK_LABEL(label)) ? height > label->allocation.height
                                                                        : width > label->allocation.width;
        EXPECT_EQ(tooltipOf(w), clipped ? gtk_label_get_text(GTK_LABEL(label)) : "") << control;
    }
}

void expectColumns(GtkWidget* scrolled, const std::vector<std::pair<std::string, int>>& columns) {
    GtkTreeView* view = GTK_TREE_VIEW(gtk_bin_get_child(GTK_BIN(scrolled)));
    GList* cols = gtk_tree_view_get_columns(view);
    ASSERT_EQ(g_list_length(cols), columns.size());
    int i = 0;
    for (GList* l = cols; l != nullptr; l = l->next, ++i) {
        auto* col = GTK_TREE_VIEW_COLUMN(l->data);
        const char* title = gtk_tree_view_column_get_title(col);
        EXPECT_EQ(std::string(title ? title : ""), columns[static_cast<std::size_t>(i)].first);
        EXPECT_EQ(gtk_tree_view_column_get_fixed_width(col), columns[static_cast<std::size_t>(i)].second);
        EXPECT_FALSE(gtk_tree_view_column_get_clickable(col));
    }
    g_list_free(cols);
    EXPECT_TRUE(gtk_tree_view_get_headers_visible(view));
    EXPECT_EQ(gtk_tree_view_get_grid_lines(view), GTK_TREE_VIEW_GRID_LINES_BOTH);
    EXPECT_EQ(gtk_tree_selection_get_mode(gtk_tree_view_get_selection(view)), GTK_SELECTION_SINGLE);
}

TEST_F(MainWindow, ListsHaveTheirColumns) {
    expectColumns(gui.control(kMonitorList), {{"", 35}, {"Time", 55}, {"Frame Hex Code", 200},
                                              {"Len", 30}, {"CSum", 48}, {"Source", 250}});
    expectColumns(gui.control(kClientList), {{"", 35}, {"IP Address and port", 230},
                                             {"Start Date", 130}, {"End Date", 130}, {"Nb Err", 50}});
}

TEST_F(MainWindow, TogglesStayDownUntilPressedAgainAndReportTheirNumber) {
    gtk_button_clicked(GTK_BUTTON(gui.control(kFilterToggle)));
    EXPECT_TRUE(gui.isOn(kFilterToggle));
    const WindowEvent e = gui.waitWindowEvent(0, {});
    EXPECT_EQ(e.code, WindowEventCode::Control);
    EXPECT_EQ(e.control, kFilterToggle);
    gtk_button_clicked(GTK_BUTTON(gui.control(kFilterToggle)));
    EXPECT_FALSE(gui.isOn(kFilterToggle));
}

TEST_F(MainWindow, CloseRequestBecomesAnEventAndTheWindowStays) {
    GdkEvent* e = gdk_event_new(GDK_DELETE);
    e->any.window = GDK_WINDOW(g_object_ref(gui.window(kMainWindow)->window));
    gtk_main_do_event(e);
    gdk_event_free(e);
    const WindowEvent got = gui.waitWindowEvent(0, {});
    EXPECT_EQ(got.code, WindowEventCode::CloseRequest);
    EXPECT_TRUE(gtk_widget_get_visible(gui.window(kMainWindow)));
}

TEST_F(MainWindow, TextsCrossTheToolkitAsLatin9) {
    gui.setText(kFilterText, "N\xB0" "3 \xA4");  // degree sign and euro sign
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(gui.control(kFilterText))), "N\u00B03 \u20AC");
    EXPECT_EQ(gui.text(kFilterText), "N\xB0" "3 \xA4");
    gtk_entry_set_text(GTK_ENTRY(gui.control(kFilterText)), "\u4E2D");
    EXPECT_EQ(gui.text(kFilterText), "?");
}

TEST_F(MainWindow, ResizingKeepsControlsInPlace) {
    gtk_window_resize(GTK_WINDOW(gui.window(kMainWindow)), 900, 500);
    test::processPendingEvents(100);
    EXPECT_EQ(test::placementOf(gui.control(kQuitButton)), (Placement{565, 385, 45, 25}));
}

TEST_F(MainWindow, IconsAreDecodedFromTheProgramItself) {
    const int sizes[] = {16, 16, 16, 16, 12, 12};
    for (int i = 0; i < 6; ++i) {
        GdkPixbuf* p = gui.icon(i);
        ASSERT_NE(p, nullptr) << i;
        EXPECT_EQ(gdk_pixbuf_get_width(p), sizes[i]);
        EXPECT_FALSE(gdk_pixbuf_get_has_alpha(p));
    }
    // The bus-frame disc is green at its centre-top, the background white in the corner.
    guchar* px = gdk_pixbuf_get_pixels(gui.icon(3));
    const int stride = gdk_pixbuf_get_rowstride(gui.icon(3));
    EXPECT_EQ(px[0], 255);
    const guchar* top = px + 2 * stride + 8 * 3;
    EXPECT_EQ(top[0], 136);
    EXPECT_EQ(top[1], 233);
    EXPECT_EQ(top[2], 0);
}

}  // namespace
}  // namespace tessel
