// The toolkit's windows and controls known by their fixed numbers: what a number stands for, its
// text and state, the status bar's fields, and the icons.
#include "app/gui.h"

#include "app/icons.h"

namespace tessel {

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

}  // namespace tessel
