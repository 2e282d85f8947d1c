// Control construction: each kind of window and control made with the toolkit, placed at its
// fixed position, its signals turned into WindowEvents, and tooltips for clipped texts.
#include "app/gui.h"

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

}  // namespace tessel
