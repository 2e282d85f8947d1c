#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>

#include "app/first_start_dialog.h"
#include "support/gui_fixture.h"
#include "support/pty.h"

namespace tessel {
namespace {

using test::AnsweredBox;
using test::Script;

class FirstStartDialog : public ::testing::Test {
protected:
    void SetUp() override {
        initNetwork(net);
        path = ::testing::TempDir() + "first-start-test.ini";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }

    Script::Step type(int control, std::string text) {
        return [this, control, text] {
            if (gui.control(control) == nullptr) return false;
            gtk_entry_set_text(GTK_ENTRY(gui.control(control)), text.c_str());
            return true;
        };
    }
    Script::Step press(int control) {
        return [this, control] {
            if (gui.control(control) == nullptr) return false;
            gtk_button_clicked(GTK_BUTTON(gui.control(control)));
            return true;
        };
    }
    std::string fileContent() const {
        std::ifstream in(path, std::ios::binary);
        if (!in) return "<none>";
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // A free port the system just handed out.
    static int freePort() {
        NetworkState probe;
        createServer(probe, 0, 0);
        return serverPort(probe, 0);
    }

    Gui gui;
    NetworkState net;
    SerialPortTable serial;
    std::string path;
    std::vector<AnsweredBox> boxes;
};

TEST_F(FirstStartDialog, StartsWithDefaultsAndOkWritesTwoLines) {
    test::Pty pty;
    const int port = freePort();
    Script script;
    script.add([this] {
        if (gui.control(kDialogSerialName) == nullptr) return false;
        EXPECT_EQ(gui.text(kDialogSerialName), "COM4");
        EXPECT_EQ(gui.text(kDialogPortNumber), "8080");
        EXPECT_EQ(gui.text(kDialogIntro),
                  "It's the first start : you'll have to give information about Serial port "
                  "and Ethernet port :");
        EXPECT_EQ(test::placementOf(gui.control(kDialogOk)), (test::Placement{230, 140, 80, 20}));
        return true;
    });
    script.add(type(kDialogSerialName, pty.path));
    script.add(type(kDialogPortNumber, std::to_string(port)));
    script.add(press(kDialogOk));
    script.start();
    const auto result = runFirstStartDialog(gui, {}, serial, net, path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->serialPortName, pty.path);
    EXPECT_EQ(result->ethernetPort, port);
    EXPECT_EQ(fileContent(), pty.path + "\n" + std::to_string(port) + "\n");
    EXPECT_TRUE(serial.ports.empty());  // both checks closed what they opened
    EXPECT_TRUE(net.servers.empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FirstStartDialog, FailedChecksShowBothBoxesNetworkFirstAndKeepTheDialog) {
    NetworkState other;
    ASSERT_NE(createServer(other, 0, 0), 0);  // holds the port
    const std::string busy = std::to_string(serverPort(other, 0));
    // Another listener without address reuse makes the port busy for everyone.
    Script script;
    script.add(type(kDialogSerialName, "/nonexistent/ttyX"));
    script.add(type(kDialogPortNumber, busy));
    script.add(press(kDialogOk));
    script.add(Script::answerBox(boxes, GTK_RESPONSE_OK));
    script.add(Script::answerBox(boxes, GTK_RESPONSE_OK));
    script.add([this] { return gui.window(kDialogWindow) != nullptr; });
    script.add(press(kDialogQuit));
    script.start();
    const auto result = runFirstStartDialog(gui, {}, serial, net, path);
    EXPECT_FALSE(result);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, "Ethernet Port error");
    EXPECT_EQ(boxes[0].text, "This network port (" + busy + ") isn't available !");
    EXPECT_EQ(boxes[1].title, "Serial Port error");
    EXPECT_EQ(boxes[1].text, "This Serial port (/nonexistent/ttyX) isn't available !");
    EXPECT_EQ(fileContent(), "<none>");
}

TEST_F(FirstStartDialog, UsablePortIsKeptWhileTheDeviceIsFixed) {
    test::Pty pty;
    const int port = freePort();
    Script script;
    script.add(type(kDialogSerialName, "/nonexistent/ttyX"));
    script.add(type(kDialogPortNumber, std::to_string(port)));
    script.add(press(kDialogOk));
    script.add(Script::answerBox(boxes, GTK_RESPONSE_OK));
    script.add([this] { return fileContent() == "<none>"; });
    script.add(type(kDialogSerialName, pty.path));
    script.add(press(kDialogOk));
    script.start();
    const auto result = runFirstStartDialog(gui, {}, serial, net, path);
    ASSERT_TRUE(result);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Serial Port error");
    EXPECT_EQ(fileContent(), pty.path + "\n" + std::to_string(port) + "\n");
}

TEST_F(FirstStartDialog, ClosingTheWindowEndsWithoutAFile) {
    Script script;
    script.add([this] {
        if (gui.window(kDialogWindow) == nullptr) return false;
        gui.pushEvent({WindowEventCode::CloseRequest, 0, kDialogWindow});
        return true;
    });
    script.start();
    EXPECT_FALSE(runFirstStartDialog(gui, {}, serial, net, path));
    EXPECT_EQ(fileContent(), "<none>");
}

}  // namespace
}  // namespace tessel
