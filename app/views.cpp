// The three views the core fills, made with the toolkit: the monitor list, the client list, and
// the statistics' rate fields, graphs and status bar fields.
#include "app/views.h"

#include <algorithm>
#include <cstdio>

namespace tessel {

namespace {

std::string colourSpec(const Rgb& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", c.r, c.g, c.b);
    return buf;
}

std::string cellText(GtkListStore* store, int line, int column) {
    GtkTreeIter iter;
    if (line < 0 || !gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store), &iter, nullptr, line)) {
        return "";
    }
    if (column < 0 || column >= gtk_tree_model_get_n_columns(GTK_TREE_MODEL(store)) ||
        gtk_tree_model_get_column_type(GTK_TREE_MODEL(store), column) != G_TYPE_STRING) {
        return "";
    }
    gchar* value = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, column, &value, -1);
    std::string out = value != nullptr ? fromUtf8(value) : "";
    g_free(value);
    return out;
}

GtkListStore* listStore(Gui& gui, int control) {
    GtkWidget* scrolled = gui.control(control);
    GtkWidget* view = gtk_bin_get_child(GTK_BIN(scrolled));
    return GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(view)));
}

}  // namespace

GtkMonitorList::GtkMonitorList(Gui& gui, int control)
    : gui_(gui),
      store_(listStore(gui, control)),
      view_(GTK_TREE_VIEW(gtk_bin_get_child(GTK_BIN(gui.control(control))))),
      scroll_(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(gui.control(control)))) {}

void GtkMonitorList::insertTop(const MonitorLine& line) { pending_.push_back(line); }

int GtkMonitorList::storedCount() const {
    return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store_), nullptr);
}

int GtkMonitorList::lineCount() const {
    return storedCount() + static_cast<int>(pending_.size()) - droppedOldest_;
}

void GtkMonitorList::removeLine(int index) {
    if (index == lineCount() - 1) {  // the oldest line: taken off at the flush
        ++droppedOldest_;
        return;
    }
    flush();
    GtkTreeIter iter;
    if (gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store_), &iter, nullptr, index)) {
        gtk_list_store_remove(store_, &iter);
    }
}

void GtkMonitorList::flush() {
    if (pending_.empty() && droppedOldest_ == 0) return;
    // An operator watching the newest lines keeps seeing them; one who scrolled away stays put.
    const bool atTop = gtk_adjustment_get_value(scroll_) <= gtk_adjustment_get_lower(scroll_);
    const int keep = lineCount();
    // Lines beyond the cap would be inserted only to be removed again.
    const std::size_t skip = pending_.size() > static_cast<std::size_t>(keep)
                                 ? pending_.size() - static_cast<std::size_t>(keep)
                                 : 0;
    for (std::size_t i = skip; i < pending_.size(); ++i) {
        const MonitorLine& line = pending_[i];
        const std::string colour = colourSpec(line.colour);
        std::array<std::string, 5> cells;
        for (std::size_t c = 0; c < cells.size(); ++c) cells[c] = toUtf8(line.cells[c]);
        // One insertion with every value: the view lays the new row out once.
        GtkTreeIter iter;
        gtk_list_store_insert_with_values(
            store_, &iter, 0, 0, gui_.icon(static_cast<int>(line.icon)), 1, cells[0].c_str(), 2,
            cells[1].c_str(), 3, cells[2].c_str(), 4, cells[3].c_str(), 5, cells[4].c_str(), 6,
            colour.c_str(), -1);
    }
    pending_.clear();
    droppedOldest_ = 0;
    GtkTreeIter iter;
    while (storedCount() > keep &&
           gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store_), &iter, nullptr, storedCount() - 1)) {
        gtk_list_store_remove(store_, &iter);
    }
    if (atTop) {
        // Done when the view lays its rows out again, after these insertions are taken in.
        GtkTreePath* top = gtk_tree_path_new_first();
        gtk_tree_view_scroll_to_cell(view_, top, nullptr, TRUE, 0.0f, 0.0f);
        gtk_tree_path_free(top);
    }
}

std::string GtkMonitorList::readCell(int line, int column) const {
    const_cast<GtkMonitorList*>(this)->flush();
    if (column < 0 || column > 4) return "";
    return cellText(store_, line, column + 1);
}

void GtkMonitorList::clear() {
    pending_.clear();
    droppedOldest_ = 0;
    gtk_list_store_clear(store_);
}

GtkClientList::GtkClientList(Gui& gui, int control)
    : gui_(gui), store_(listStore(gui, control)) {}

void GtkClientList::clear() {
    rows_.clear();
    gtk_list_store_clear(store_);
}

void GtkClientList::setCells(GtkTreeIter& iter, const ClientRow& row) {
    gtk_list_store_set(store_, &iter, 0, gui_.icon(row.active ? 4 : 5), 1, toUtf8(row.address).c_str(), 2,
                       toUtf8(row.startDate).c_str(), 3, toUtf8(row.endDate).c_str(), 4,
                       toUtf8(row.errors).c_str(), -1);
}

void GtkClientList::insertTop(const ClientRow& row) {
    GtkTreeIter iter;
    gtk_list_store_insert(store_, &iter, 0);
    setCells(iter, row);
    rows_[row.rowKey] = iter;
}

void GtkClientList::updateRow(const ClientRow& row) {
    if (const auto it = rows_.find(row.rowKey); it != rows_.end()) setCells(it->second, row);
}

void GtkClientList::removeRow(std::int64_t rowKey) {
    const auto it = rows_.find(rowKey);
    if (it == rows_.end()) return;
    gtk_list_store_remove(store_, &it->second);
    rows_.erase(it);
}

int GtkClientList::lineCount() const {
    return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store_), nullptr);
}

std::string GtkClientList::readCell(int line, int column) const {
    return cellText(store_, line, column);
}

GdkPixbuf* graphPixbuf(const GraphImage& image) {
    GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, kGraphWidth, kGraphHeight);
    const int stride = gdk_pixbuf_get_rowstride(p);
    guchar* px = gdk_pixbuf_get_pixels(p);
    for (int y = 0; y < kGraphHeight; ++y) {
        for (int x = 0; x < kGraphWidth; ++x) {
            const Rgb c = image.at(x, y);
            guchar* at = px + y * stride + x * 3;
            at[0] = c.r;
            at[1] = c.g;
            at[2] = c.b;
        }
    }
    return p;
}

void GtkStatsView::setRates(const std::string& rxText, const std::string& txText) {
    gui_.setText(15, rxText);
    gui_.setText(16, txText);
}

void GtkStatsView::showSamples(const std::deque<BandwidthSample>& history) {
    const std::pair<int, GraphKind> graphs[] = {{8, GraphKind::Received}, {9, GraphKind::Transmitted}};
    for (const auto& [control, kind] : graphs) {
        GtkWidget* frame = gui_.control(control);
        if (frame == nullptr) continue;
        GObjectPtr<GdkPixbuf> pixbuf(graphPixbuf(renderGraph(history, kind)));
        gtk_image_set_from_pixbuf(GTK_IMAGE(gtk_bin_get_child(GTK_BIN(frame))), pixbuf.get());
    }
}

void GtkStatsView::setUptime(const std::string& uptimeText, const std::string& clockText) {
    gui_.setStatusField(0, uptimeText);
    gui_.setStatusField(5, clockText);
}

}  // namespace tessel
