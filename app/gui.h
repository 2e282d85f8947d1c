// The toolkit layer: the only place besides the window builders that touches GTK. Windows and
// controls are known by their fixed numbers; their events come back as WindowEvents. Texts are
// ISO-8859-15 inside the program and UTF-8 inside the toolkit. Its parts: gui.cpp (controls by
// number), gui_controls.cpp (making them), event_wait.cpp, message_box.cpp; the views the core
// fills are in views.h.
#pragma once
#include <gtk/gtk.h>
#include <poll.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/text_convert.h"

namespace tessel {

enum class WindowEventCode { None = 0, Handled = -1, CloseRequest = 2, Control = 3 };

struct WindowEvent {
    WindowEventCode code = WindowEventCode::None;
    int control = 0;  // the control's number for a Control event, else 0
    int window = 0;   // the window a close request came from
};

// The first-start dialog's loop waits this long for an event on each pass.
constexpr int kEventWaitMillis = 20;

enum class MessageKind { Ok, YesNo };
constexpr int kAnswerOk = 1;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// The whole text (UTF-8) of a control whose size clips its caption, else "": what its tooltip
// shows.
std::string wholeTextWhenClipped(GtkWidget* control);

// Owns a GObject reference.
template <typename T>
struct GObjectDeleter {
    void operator()(T* p) const {
        if (p != nullptr) g_object_unref(p);
    }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

class Gui {
public:
    Gui();
    ~Gui();
    Gui(const Gui&) = delete;
    Gui& operator=(const Gui&) = delete;

    // Windows. A close request never closes a window by itself: it becomes an event.
    GtkWidget* createWindow(int number, const std::string& title, int width, int height,
                            bool resizable);
    GtkWidget* window(int number) const;
    void destroyWindow(int number);
    void setTitle(int number, const std::string& title);
    GtkFixed* fixedArea(int number) const;

    // Controls, placed at fixed positions in a window's area.
    GtkWidget* addButton(int window, int control, int x, int y, int w, int h,
                         const std::string& caption);
    GtkWidget* addToggle(int window, int control, int x, int y, int w, int h,
                         const std::string& caption);
    GtkWidget* addCheckBox(int window, int control, int x, int y, int w, int h,
                           const std::string& caption, bool on);
    GtkWidget* addEntry(int window, int control, int x, int y, int w, int h,
                        const std::string& text, bool editable);
    GtkWidget* addLabel(int window, int control, int x, int y, int w, int h,
                        const std::string& text);
    GtkWidget* addList(int window, int control, int x, int y, int w, int h,
                       std::span<const std::pair<std::string, int>> columns, bool coloured);
    GtkWidget* addImage(int window, int control, int x, int y, int w, int h, GdkPixbuf* picture);
    void addStatusBar(int window, std::span<const int> widths);

    GtkWidget* control(int number) const;
    void setText(int control, const std::string& iso);
    std::string text(int control) const;
    bool isOn(int control) const;  // toggle button or check box
    void setStatusField(int field, const std::string& iso);
    std::string statusField(int field) const;
    GtkWidget* statusFieldLabel(int field) const;

    int showMessage(const std::string& title, const std::string& text, MessageKind kind);

    // Returns a queued event at once; otherwise waits up to `timeoutMs` for the toolkit or for
    // one of `watched` to become ready, lets the toolkit handle what is pending, and returns
    // the event that produced (Handled when none, None when the toolkit had nothing to do).
    // `ioReady` tells whether one of `watched` woke the wait.
    WindowEvent waitWindowEvent(int timeoutMs, std::span<pollfd> watched, bool* ioReady = nullptr);
    void pushEvent(const WindowEvent& e) { events_.push_back(e); }

    GdkPixbuf* icon(int image) const;

private:
    void put(int window, int control, GtkWidget* widget, int x, int y, int w, int h);

    struct WindowParts {
        GtkWidget* window = nullptr;
        GtkWidget* fixed = nullptr;
        GtkWidget* box = nullptr;
    };
    std::map<int, WindowParts> windows_;
    std::map<int, GtkWidget*> controls_;
    std::vector<GtkWidget*> statusLabels_;
    std::deque<WindowEvent> events_;
    std::array<GObjectPtr<GdkPixbuf>, 6> icons_;
    std::vector<GPollFD> pollScratch_;
};

}  // namespace tessel
