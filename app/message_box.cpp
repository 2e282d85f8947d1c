// The message boxes: a modal question or notice, answered before the loop goes on.
#include "app/gui.h"

namespace tessel {

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

}  // namespace tessel
