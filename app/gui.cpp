#include "app/gui.h"

#include <algorithm>
#include <cstdio>

#include "app/icons.h"

namespace tessel {

namespace {

struct EventTarget {
    Gui* gui;
    int control;
};

// Signal handlers carry the control number; the closure owns the small record.
void destroyTarget(gpointer data, GClosure*) { delete static_cast<EventTarget*>(data); }

void onControl(GtkWidget*, gpointer data) {
    auto* t = static_cast<EventTarget*>(data);
    t->gui->pushEvent({WindowEventCode::Control, t->control, 0});
}

gboolean onControlEvent(GtkWidget*, GdkEvent*, gpointer data) {
    onControl(nullptr, data);
    return FALSE;
}

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
    auto* t = static_cast<EventTarget*>(data);
    t->gui->pushEvent({WindowEventCode::CloseRequest, 0, t->control});
    return TRUE;  // the window stays until the program ends it
}

void connect(Gui* gui, GtkWidget* w, const char* signal, int control, GCallback cb) {
    g_signal_connect_data(w, signal, cb, new EventTarget{gui, control}, destroyTarget,
                          GConnectFlags(0));
}

std::string colourSpec(const Rgb& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", c.r, c.g, c.b);
    return buf;
}

// Decorations and functions without minimise and maximise, once the window exists on screen.
void onRealizeWindow(GtkWidget* w, gpointer) {
    GdkWindow* gw = w->window;
    gdk_window_set_decorations(gw, GdkWMDecoration(GDK_DECOR_BORDER | GDK_DECOR_RESIZEH |
                                                   GDK_DECOR_TITLE | GDK_DECOR_MENU));
    gdk_window_set_functions(gw, GdkWMFunction(GDK_FUNC_MOVE | GDK_FUNC_RESIZE | GDK_FUNC_CLOSE));
}

constexpr const char* kTooltipLabelKey = "tessel-tooltip-label";

// Asked by the toolkit only while the pointer rests on the control, so a text that changes ten
// times a second costs nothing here until someone looks.
gboolean onTooltipQuery(GtkWidget* control, gint, gint, gboolean, GtkTooltip* tooltip, gpointer) {
    const std::string whole = wholeTextWhenClipped(control);
    if (whole.empty()) return FALSE;
    gtk_tooltip_set_text(tooltip, whole.c_str());
    return TRUE;
}

void tooltipWhenClipped(GtkWidget* control, GtkWidget* label) {
    g_object_set_data(G_OBJECT(control), kTooltipLabelKey, label);
    gtk_widget_set_has_tooltip(control, TRUE);
    g_signal_connect(control, "query-tooltip", G_CALLBACK(onTooltipQuery), nullptr);
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

std::string wholeTextWhenClipped(GtkWidget* control) {
    auto* label = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(control), kTooltipLabelKey));
    if (label == nullptr || !GTK_IS_LABEL(label)) return "";
    int width = 0, height = 0;
    pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &width, &height);
    // A wrapping text runs out at the bottom, a single line at the right; the fixed 20-pixel
    // buttons are lower than the font anyway, which hides nothing of their captions.
    const bool fits = gtk_label_get_line_wrap(GTK_LABEL(label))
                          ? height <= label->allocation.height
                          : width <= label->allocation.width;
    return fits ? "" : gtk_label_get_text(GTK_LABEL(label));
}

namespace {

// One converter each way for the whole run: opening one per text costs more than converting it.
struct Converters {
    GIConv toUtf8 = g_iconv_open("UTF-8", "ISO-8859-15");
    GIConv fromUtf8 = g_iconv_open("ISO-8859-15", "UTF-8");
};

Converters& converters() {
    static Converters c;
    return c;
}

}  // namespace

std::string toUtf8(const std::string& iso) {
    gsize written = 0;
    gchar* out = g_convert_with_iconv(iso.data(), static_cast<gssize>(iso.size()),
                                      converters().toUtf8, nullptr, &written, nullptr);
    if (out == nullptr) return "";
    std::string result(out, written);
    g_free(out);
    return result;
}

std::string fromUtf8(const char* utf8) {
    if (utf8 == nullptr) return "";
    // Characters without a single-byte form become "?".
    gsize written = 0;
    gchar* out = g_convert_with_fallback(utf8, -1, "ISO-8859-15", "UTF-8", "?", nullptr,
                                         &written, nullptr);
    if (out == nullptr) return "";
    std::string result(out, written);
    g_free(out);
    return result;
}

Gui::Gui() {
    for (int i = 0; i < 6; ++i) {
        icons_[static_cast<std::size_t>(i)].reset(
            decodePng(kEmbeddedIcons[i].data, kEmbeddedIcons[i].size));
    }
}

Gui::~Gui() {
    for (auto& [number, parts] : windows_) {
        if (parts.window != nullptr) gtk_widget_destroy(parts.window);
    }
}

GdkPixbuf* Gui::icon(int image) const {
    if (image < 0 || image >= 6) return nullptr;
    return icons_[static_cast<std::size_t>(image)].get();
}

GtkWidget* Gui::createWindow(int number, const std::string& title, int width, int height,
                             bool resizable) {
    destroyWindow(number);
    WindowParts parts;
    parts.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(parts.window), toUtf8(title).c_str());
    gtk_window_set_default_size(GTK_WINDOW(parts.window), width, height);
    gtk_window_set_resizable(GTK_WINDOW(parts.window), resizable ? TRUE : FALSE);
    parts.box = gtk_vbox_new(FALSE, 0);
    parts.fixed = gtk_fixed_new();
    // A control whose text changes is laid out again inside this area only: the whole window is
    // not sized and redrawn anew for each new figure.
    gtk_container_set_resize_mode(GTK_CONTAINER(parts.fixed), GTK_RESIZE_QUEUE);
    gtk_widget_set_size_request(parts.fixed, resizable ? 1 : width, resizable ? 1 : height);
    gtk_box_pack_start(GTK_BOX(parts.box), parts.fixed, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(parts.window), parts.box);
    connect(this, parts.window, "delete-event", number, G_CALLBACK(onDelete));
    g_signal_connect(parts.window, "realize", G_CALLBACK(onRealizeWindow), nullptr);
    windows_[number] = parts;
    return parts.window;
}

GtkWidget* Gui::window(int number) const {
    const auto it = windows_.find(number);
    return it == windows_.end() ? nullptr : it->second.window;
}

void Gui::destroyWindow(int number) {
    const auto it = windows_.find(number);
    if (it == windows_.end()) return;
    GtkWidget* w = it->second.window;
    for (auto c = controls_.begin(); c != controls_.end();) {
        if (gtk_widget_get_toplevel(c->second) == w) {
            c = controls_.erase(c);
        } else {
            ++c;
        }
    }
    if (number == 0) statusLabels_.clear();
    windows_.erase(it);
    gtk_widget_destroy(w);
}

void Gui::setTitle(int number, const std::string& title) {
    if (GtkWidget* w = window(number)) gtk_window_set_title(GTK_WINDOW(w), toUtf8(title).c_str());
}

GtkFixed* Gui::fixedArea(int number) const {
    const auto it = windows_.find(number);
    return it == windows_.end() ? nullptr : GTK_FIXED(it->second.fixed);
}

void Gui::put(int window, int control, GtkWidget* widget, int x, int y, int w, int h) {
    gtk_widget_set_size_request(widget, w, h);
    if (GtkFixed* fixed = fixedArea(window)) gtk_fixed_put(fixed, widget, x, y);
    gtk_widget_show(widget);
    controls_[control] = widget;
}

GtkWidget* Gui::addButton(int window, int control, int x, int y, int w, int h,
                          const std::string& caption) {
    GtkWidget* b = gtk_button_new_with_label(toUtf8(caption).c_str());
    put(window, control, b, x, y, w, h);
    tooltipWhenClipped(b, gtk_bin_get_child(GTK_BIN(b)));
    connect(this, b, "clicked", control, G_CALLBACK(onControl));
    return b;
}

GtkWidget* Gui::addToggle(int window, int control, int x, int y, int w, int h,
                          const std::string& caption) {
    GtkWidget* b = gtk_toggle_button_new_with_label(toUtf8(caption).c_str());
    put(window, control, b, x, y, w, h);
    tooltipWhenClipped(b, gtk_bin_get_child(GTK_BIN(b)));
    connect(this, b, "clicked", control, G_CALLBACK(onControl));
    return b;
}

GtkWidget* Gui::addCheckBox(int window, int control, int x, int y, int w, int h,
                            const std::string& caption, bool on) {
    GtkWidget* b = gtk_check_button_new_with_label(toUtf8(caption).c_str());
    put(window, control, b, x, y, w, h);
    tooltipWhenClipped(b, gtk_bin_get_child(GTK_BIN(b)));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), on ? TRUE : FALSE);
    connect(this, b, "toggled", control, G_CALLBACK(onControl));
    return b;
}

GtkWidget* Gui::addEntry(int window, int control, int x, int y, int w, int h,
                         const std::string& text, bool editable) {
    GtkWidget* e = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(e), toUtf8(text).c_str());
    gtk_editable_set_editable(GTK_EDITABLE(e), editable ? TRUE : FALSE);
    gtk_entry_set_has_frame(GTK_ENTRY(e), TRUE);
    put(window, control, e, x, y, w, h);
    connect(this, e, "changed", control, G_CALLBACK(onControl));
    connect(this, e, "activate", control, G_CALLBACK(onControl));
    connect(this, e, "focus-in-event", control, G_CALLBACK(onControlEvent));
    connect(this, e, "focus-out-event", control, G_CALLBACK(onControlEvent));
    return e;
}

GtkWidget* Gui::addLabel(int window, int control, int x, int y, int w, int h,
                         const std::string& text) {
    GtkWidget* l = gtk_label_new(toUtf8(text).c_str());
    gtk_label_set_line_wrap(GTK_LABEL(l), TRUE);
    gtk_misc_set_alignment(GTK_MISC(l), 0.0f, 0.0f);
    put(window, control, l, x, y, w, h);
    tooltipWhenClipped(l, l);
    return l;
}

GtkWidget* Gui::addList(int window, int control, int x, int y, int w, int h,
                        std::span<const std::pair<std::string, int>> columns, bool coloured) {
    // Column 0 is the icon; then one text column per heading; then, when coloured, the colour.
    std::vector<GType> types{GDK_TYPE_PIXBUF};
    for (std::size_t i = 1; i < columns.size(); ++i) types.push_back(G_TYPE_STRING);
    const int colourColumn = static_cast<int>(types.size());
    if (coloured) types.push_back(G_TYPE_STRING);
    // The toolkit draws its default dotted grid lines dot by dot down the whole list on every
    // repaint, which was the largest share of the window's cost on a busy bus; a solid line is
    // one stroke. Read when the list is realised, so set before the first one is created.
    static const bool solidGridLines = [] {
        gtk_rc_parse_string("style \"tessel-list\" { GtkTreeView::grid-line-pattern = \"\" }\n"
                            "widget \"*.tessel-list\" style \"tessel-list\"\n");
        return true;
    }();
    (void)solidGridLines;
    GtkListStore* store = gtk_list_store_newv(static_cast<gint>(types.size()), types.data());
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    gtk_widget_set_name(view, "tessel-list");
    g_object_unref(store);  // the view holds it

    for (std::size_t i = 0; i < columns.size(); ++i) {
        GtkTreeViewColumn* col = gtk_tree_view_column_new();
        gtk_tree_view_column_set_title(col, toUtf8(columns[i].first).c_str());
        gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_FIXED);
        gtk_tree_view_column_set_fixed_width(col, columns[i].second);
        gtk_tree_view_column_set_clickable(col, FALSE);
        GtkCellRenderer* cell;
        if (i == 0) {
            cell = gtk_cell_renderer_pixbuf_new();
            gtk_tree_view_column_pack_start(col, cell, TRUE);
            gtk_tree_view_column_add_attribute(col, cell, "pixbuf", 0);
        } else {
            cell = gtk_cell_renderer_text_new();
            gtk_tree_view_column_pack_start(col, cell, TRUE);
            gtk_tree_view_column_add_attribute(col, cell, "text", static_cast<gint>(i));
        }
        if (coloured && i != 0) {
            gtk_tree_view_column_add_attribute(col, cell, "foreground", colourColumn);
        }
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
    }
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(view), TRUE);
    gtk_tree_view_set_headers_clickable(GTK_TREE_VIEW(view), FALSE);
    gtk_tree_view_set_grid_lines(GTK_TREE_VIEW(view), GTK_TREE_VIEW_GRID_LINES_BOTH);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)),
                                GTK_SELECTION_SINGLE);
    gtk_tree_view_set_fixed_height_mode(GTK_TREE_VIEW(view), TRUE);

    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_ETCHED_IN);
    gtk_container_add(GTK_CONTAINER(scrolled), view);
    gtk_widget_show(view);
    put(window, control, scrolled, x, y, w, h);
    connect(this, view, "button-press-event", control, G_CALLBACK(onControlEvent));
    return scrolled;
}

GtkWidget* Gui::addImage(int window, int control, int x, int y, int w, int h,
                         GdkPixbuf* picture) {
    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_IN);
    gtk_container_set_resize_mode(GTK_CONTAINER(frame), GTK_RESIZE_QUEUE);
    GtkWidget* image = gtk_image_new_from_pixbuf(picture);
    // The frame's border takes a few rows: keep the base line in view, clip the top instead.
    gtk_misc_set_alignment(GTK_MISC(image), 0.5f, 1.0f);
    gtk_container_add(GTK_CONTAINER(frame), image);
    gtk_widget_show(image);
    put(window, control, frame, x, y, w, h);
    return frame;
}

void Gui::addStatusBar(int window, std::span<const int> widths) {
    const auto it = windows_.find(window);
    if (it == windows_.end()) return;
    GtkWidget* bar = gtk_hbox_new(FALSE, 0);
    statusLabels_.clear();
    for (std::size_t i = 0; i < widths.size(); ++i) {
        GtkWidget* frame = gtk_frame_new(nullptr);
        gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_IN);
        gtk_container_set_resize_mode(GTK_CONTAINER(frame), GTK_RESIZE_QUEUE);
        GtkWidget* label = gtk_label_new("");
        gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
        gtk_container_add(GTK_CONTAINER(frame), label);
        tooltipWhenClipped(label, label);
        const bool last = i + 1 == widths.size();
        gtk_widget_set_size_request(frame, last ? 1 : widths[i], 22);
        gtk_box_pack_start(GTK_BOX(bar), frame, last ? TRUE : FALSE, last ? TRUE : FALSE, 0);
        statusLabels_.push_back(label);
    }
    gtk_box_pack_end(GTK_BOX(it->second.box), bar, FALSE, FALSE, 0);
    gtk_widget_show_all(bar);
}

GtkWidget* Gui::control(int number) const {
    const auto it = controls_.find(number);
    return it == controls_.end() ? nullptr : it->second;
}

void Gui::setText(int number, const std::string& iso) {
    GtkWidget* w = control(number);
    if (w == nullptr) return;
    const std::string utf8 = toUtf8(iso);
    if (GTK_IS_ENTRY(w)) {
        gtk_entry_set_text(GTK_ENTRY(w), utf8.c_str());
    } else if (GTK_IS_LABEL(w)) {
        gtk_label_set_text(GTK_LABEL(w), utf8.c_str());
    } else if (GTK_IS_BUTTON(w)) {
        gtk_button_set_label(GTK_BUTTON(w), utf8.c_str());
    }
}

std::string Gui::text(int number) const {
    GtkWidget* w = control(number);
    if (w == nullptr) return "";
    if (GTK_IS_ENTRY(w)) return fromUtf8(gtk_entry_get_text(GTK_ENTRY(w)));
    if (GTK_IS_LABEL(w)) return fromUtf8(gtk_label_get_text(GTK_LABEL(w)));
    if (GTK_IS_BUTTON(w)) return fromUtf8(gtk_button_get_label(GTK_BUTTON(w)));
    return "";
}

bool Gui::isOn(int number) const {
    GtkWidget* w = control(number);
    return w != nullptr && GTK_IS_TOGGLE_BUTTON(w) &&
           gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
}

void Gui::setStatusField(int field, const std::string& iso) {
    if (field < 0 || static_cast<std::size_t>(field) >= statusLabels_.size()) return;
    gtk_label_set_text(GTK_LABEL(statusLabels_[static_cast<std::size_t>(field)]),
                       toUtf8(iso).c_str());
}

std::string Gui::statusField(int field) const {
    if (field < 0 || static_cast<std::size_t>(field) >= statusLabels_.size()) return "";
    return fromUtf8(gtk_label_get_text(GTK_LABEL(statusLabels_[static_cast<std::size_t>(field)])));
}

GtkWidget* Gui::statusFieldLabel(int field) const {
    if (field < 0 || static_cast<std::size_t>(field) >= statusLabels_.size()) return nullptr;
    return statusLabels_[static_cast<std::size_t>(field)];
}

int Gui::showMessage(const std::string& title, const std::string& text, MessageKind kind) {
    GtkWidget* box = gtk_message_dialog_new(
        nullptr, GTK_DIALOG_MODAL, kind == MessageKind::Ok ? GTK_MESSAGE_INFO : GTK_MESSAGE_QUESTION,
        kind == MessageKind::Ok ? GTK_BUTTONS_OK : GTK_BUTTONS_YES_NO, "%s", toUtf8(text).c_str());
    gtk_window_set_title(GTK_WINDOW(box), toUtf8(title).c_str());
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    const gint response = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    if (kind == MessageKind::Ok) return kAnswerOk;
    return response == GTK_RESPONSE_YES ? kAnswerYes : kAnswerNo;
}

WindowEvent Gui::waitWindowEvent(int timeoutMs, std::span<pollfd> watched, bool* ioReady) {
    if (ioReady != nullptr) *ioReady = false;
    if (!events_.empty()) {
        // No wait, but the caller still learns which descriptors are ready.
        std::vector<pollfd> fds(watched.begin(), watched.end());
        const int polled = ::poll(fds.data(), fds.size(), 0);
        for (std::size_t i = 0; i < watched.size(); ++i) {
            watched[i].revents = polled > 0 ? fds[i].revents : 0;
            if (watched[i].revents != 0 && ioReady != nullptr) *ioReady = true;
        }
        WindowEvent e = events_.front();
        events_.pop_front();
        return e;
    }
    GMainContext* ctx = g_main_context_default();
    if (!g_main_context_acquire(ctx)) return {};
    gint maxPriority = 0;
    const bool ready = g_main_context_prepare(ctx, &maxPriority);
    gint toolkitTimeout = -1;
    if (pollScratch_.size() < 16) pollScratch_.resize(16);
    gint n = g_main_context_query(ctx, maxPriority, &toolkitTimeout, pollScratch_.data(),
                                  static_cast<gint>(pollScratch_.size()));
    if (static_cast<std::size_t>(n) > pollScratch_.size()) {
        pollScratch_.resize(static_cast<std::size_t>(n));
        n = g_main_context_query(ctx, maxPriority, &toolkitTimeout, pollScratch_.data(), n);
    }
    int timeout = std::max(timeoutMs, 0);
    if (ready) {
        timeout = 0;
    } else if (toolkitTimeout >= 0) {
        timeout = std::min(timeout, static_cast<int>(toolkitTimeout));
    }

    std::vector<pollfd> fds;
    fds.reserve(static_cast<std::size_t>(n) + watched.size());
    for (gint i = 0; i < n; ++i) {
        fds.push_back({pollScratch_[static_cast<std::size_t>(i)].fd,
                       static_cast<short>(pollScratch_[static_cast<std::size_t>(i)].events), 0});
    }
    for (const pollfd& w : watched) fds.push_back({w.fd, w.events, 0});
    const int polled = ::poll(fds.data(), fds.size(), timeout);
    for (gint i = 0; i < n; ++i) {
        pollScratch_[static_cast<std::size_t>(i)].revents =
            polled > 0 ? static_cast<gushort>(fds[static_cast<std::size_t>(i)].revents) : 0;
    }
    for (std::size_t i = 0; i < watched.size(); ++i) {
        watched[i].revents = polled > 0 ? fds[static_cast<std::size_t>(n) + i].revents : 0;
        if (watched[i].revents != 0 && ioReady != nullptr) *ioReady = true;
    }
    bool dispatched = false;
    if (g_main_context_check(ctx, maxPriority, pollScratch_.data(), n)) {
        g_main_context_dispatch(ctx);
        dispatched = true;
    }
    g_main_context_release(ctx);
    if (!events_.empty()) {
        WindowEvent e = events_.front();
        events_.pop_front();
        return e;
    }
    return {dispatched ? WindowEventCode::Handled : WindowEventCode::None, 0, 0};
}

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

void GtkClientList::clear() { gtk_list_store_clear(store_); }

void GtkClientList::insertTop(const ClientRow& row) {
    GtkTreeIter iter;
    gtk_list_store_insert_with_values(store_, &iter, 0, 0, gui_.icon(row.active ? 4 : 5), 1,
                                      toUtf8(row.address).c_str(), 2,
                                      toUtf8(row.startDate).c_str(), 3,
                                      toUtf8(row.endDate).c_str(), 4, toUtf8(row.errors).c_str(),
                                      -1);
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

void GtkStatsView::showGraphs(const GraphImage& rx, const GraphImage& tx) {
    const std::pair<int, const GraphImage*> graphs[] = {{8, &rx}, {9, &tx}};
    for (const auto& [control, image] : graphs) {
        GtkWidget* frame = gui_.control(control);
        if (frame == nullptr) continue;
        GObjectPtr<GdkPixbuf> pixbuf(graphPixbuf(*image));
        gtk_image_set_from_pixbuf(GTK_IMAGE(gtk_bin_get_child(GTK_BIN(frame))), pixbuf.get());
    }
}

void GtkStatsView::setUptime(const std::string& uptimeText, const std::string& clockText) {
    gui_.setStatusField(0, uptimeText);
    gui_.setStatusField(5, clockText);
}

}  // namespace tessel
