// Saves the whole X screen as a PNG file (used under Xvfb for the README and the tests).
//   screenshot OUTPUT.png
#include <gtk/gtk.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: screenshot OUTPUT.png\n");
        return 2;
    }
    gdk_init(&argc, &argv);
    GdkWindow* root = gdk_get_default_root_window();
    gint width = 0, height = 0;
    gdk_drawable_get_size(root, &width, &height);
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_drawable(nullptr, root, nullptr, 0, 0, 0, 0, width, height);
    if (shot == nullptr || !gdk_pixbuf_save(shot, argv[1], "png", nullptr, nullptr)) {
        std::fprintf(stderr, "screenshot: cannot capture the screen into %s\n", argv[1]);
        return 1;
    }
    g_object_unref(shot);
    return 0;
}
