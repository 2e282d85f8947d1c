// The widget tests need the toolkit up before any test runs.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    if (!gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "gui_tests: no display (run under Xvfb, as scripts/check does)\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
