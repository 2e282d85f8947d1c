// Helpers for tests of the real widgets (they need a display: scripts/check starts Xvfb).
#pragma once
#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tessel::test {

inline void processPendingEvents(int rounds = 50) {
    for (int i = 0; i < rounds; ++i) {
        while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Where a widget sits inside its window's fixed area.
struct Placement {
    int x, y, w, h;
    bool operator==(const Placement&) const = default;
};

inline Placement placementOf(GtkWidget* w) {
    GtkWidget* fixed = gtk_widget_get_parent(w);
    gint x = 0, y = 0;
    gtk_widget_translate_coordinates(w, fixed, 0, 0, &x, &y);
    return {x, y, w->allocation.width, w->allocation.height};
}

// A message box that was answered by the test, with what it said.
struct AnsweredBox {
    std::string title;
    std::string text;
};

// Runs scripted steps from the toolkit's own loop while a modal dialog or a dialog loop runs.
// Each step runs once, about 30 ms after the previous one; a step that returns false is retried.
class Script {
public:
    using Step = std::function<bool()>;
    void add(Step s) { steps_.push_back(std::move(s)); }
    void start() { source_ = g_timeout_add(30, &Script::tick, this); }
    ~Script() {
        if (source_ != 0) g_source_remove(source_);
    }
    bool finished() const { return next_ >= steps_.size(); }

    // Answers the first open message box with `response`, recording it into `log`.
    static Step answerBox(std::vector<AnsweredBox>& log, gint response) {
        return [&log, response] {
            GList* tops = gtk_window_list_toplevels();
            bool done = false;
            for (GList* l = tops; l != nullptr && !done; l = l->next) {
                GtkWidget* w = GTK_WIDGET(l->data);
                if (!GTK_IS_MESSAGE_DIALOG(w) || !gtk_widget_get_visible(w)) continue;
                gchar* text = nullptr;
                g_object_get(w, "text", &text, nullptr);
                log.push_back({gtk_window_get_title(GTK_WINDOW(w)), text ? text : ""});
                g_free(text);
                gtk_dialog_response(GTK_DIALOG(w), response);
                done = true;
            }
            g_list_free(tops);
            return done;
        };
    }

private:
    static gboolean tick(gpointer data) {
        auto* self = static_cast<Script*>(data);
        if (self->finished()) {
            self->source_ = 0;
            return FALSE;
        }
        if (self->steps_[self->next_]()) ++self->next_;
        return TRUE;
    }
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    guint source_ = 0;
};

}  // namespace tessel::test
