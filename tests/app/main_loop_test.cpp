#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "app/log_file.h"
#include "app/main_loop.h"
#include "app/main_window.h"
#include "app/views.h"
#include "support/fakes.h"
#include "support/gui_fixture.h"
#include "support/loopback.h"
#include "support/pass_driver.h"
#include "support/pty.h"

namespace tessel {
namespace {

using test::hexBytes;

const Bytes kBusFrame = hexBytes("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04");
const Bytes kClientFrame = hexBytes("0F F8 10 02 02 01 E4 04");

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(driver.start(pty.path));
        shell.logDirectory = ::testing::TempDir();
    }

    void click(int control) { gtk_button_clicked(GTK_BUTTON(gui.control(control))); }

    // The main window is built before the shell that shows the bridge in it.
    struct Window {
        explicit Window(Gui& gui) { createMainWindow(gui); }
    };
    Gui gui;
    Window window{gui};
    SystemClock clock;
    WindowShell shell{gui, clock};
    Bridge bridge{clock};
    test::PassDriver driver{bridge, shell};
    test::Pty pty;
};

TEST_F(MainLoop, MonitorAndStatusBarFollowTheTraffic) {
    UniqueFd a = driver.connect();
    pty.write(kBusFrame);
    ASSERT_TRUE(driver.runUntil([&] { return shell.monitorList().lineCount() == 1; }));
    EXPECT_EQ(shell.monitorList().readCell(0, kSourceColumn), "$05 (Temp: 21.5\xB0" "C) from VELBUS");
    test::sendAll(a, kClientFrame);
    ASSERT_TRUE(driver.runUntil([&] { return shell.monitorList().lineCount() == 2; }));
    EXPECT_EQ(shell.monitorList().readCell(0, kSourceColumn).rfind("$10 (RelOn N\xB0" "1 (00000001)) from 127.0.0.1:", 0), 0u);
    // The window is drawn at most every 100 ms, so what the passes decided shows a moment later.
    EXPECT_TRUE(driver.runUntil([&] { return gui.statusField(kClientRunsField) == "N:1"; }, 500));
    EXPECT_TRUE(driver.runUntil([&] { return gui.statusField(kBusFramesField) == "V:0"; }, 500));
    EXPECT_TRUE(driver.runUntil([&] { return gui.text(kLineCountLabel) == "Log line Number: 2"; }, 500));

    click(kSaveButton);
    driver.runUntil([] { return false; }, 50);
    std::ifstream in(::testing::TempDir() + monitorLogName(clock.currentDate()), std::ios::binary);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_NE(line.find("\t0FF81002020" "1E404\t8\tE4/E4\t$10 "), std::string::npos);

    click(kClearButton);
    ASSERT_TRUE(driver.runUntil([&] { return shell.monitorList().lineCount() == 0; }));
    EXPECT_EQ(bridge.clientTable.size(), 1u);
    ASSERT_TRUE(driver.runUntil([&] { return gui.text(kLineCountLabel) == "Log line Number: 0"; }));
}

// The lines of many passes reach the list when it is next drawn, each once, newest at the top.
TEST_F(MainLoop, LinesOfManyPassesAreDrawnTogetherInOrder) {
    UniqueFd a = driver.connect();
    shell.draw();
    GtkTreeModel* model = gtk_tree_view_get_model(
        GTK_TREE_VIEW(gtk_bin_get_child(GTK_BIN(gui.control(kMonitorList)))));
    int inserted = 0;
    const gulong handler = g_signal_connect(model, "row-inserted",
                                            G_CALLBACK(+[](GtkTreeModel*, GtkTreePath*, GtkTreeIter*, gpointer n) {
                                                ++*static_cast<int*>(n);
                                            }),
                                            &inserted);
    Bytes frames;
    for (int i = 0; i < 5; ++i) {
        Bytes f = hexBytes("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04");
        f[5] = static_cast<std::uint8_t>(0x20 + i);
        f[11] = checksumPair(Bytes(f.begin(), f.end())).computed;
        pty.write(f);
        ASSERT_TRUE(driver.runUntil([&] { return shell.monitorList().lineCount() == i + 1; }));
    }
    ASSERT_TRUE(driver.runUntil([&] { return inserted == 5; }, 1000));
    driver.runUntil([] { return false; }, 200);
    EXPECT_EQ(inserted, 5);
    for (int i = 0; i < 5; ++i) {  // newest first: bytes 5 of 0x24, 0x23, ...
        EXPECT_EQ(shell.monitorList().readCell(i, kHexColumn).substr(10, 2), "2" + std::to_string(4 - i)) << i;
    }
    g_signal_handler_disconnect(model, handler);
}

TEST_F(MainLoop, DelayOptionGivesFiftyThenFive) {
    click(kDelayOption);
    runPass(bridge, shell);
    EXPECT_EQ(bridge.pacing.busSendDelay, 5);
    click(kDelayOption);
    runPass(bridge, shell);
    EXPECT_EQ(bridge.pacing.busSendDelay, 50);
}

TEST_F(MainLoop, DisconnectAllDropsEveryClientAndAcceptsAgain) {
    UniqueFd a = driver.connect();
    UniqueFd b = driver.connect();
    click(kDisconnectAllButton);
    runPass(bridge, shell);
    EXPECT_TRUE(bridge.clientTable.empty());
    EXPECT_EQ(shell.clients().lineCount(), 0);
    std::uint8_t byte;
    EXPECT_EQ(::recv(a.get(), &byte, 1, 0), 0);
    EXPECT_EQ(::recv(b.get(), &byte, 1, 0), 0);
    UniqueFd c = driver.connect();
    EXPECT_EQ(shell.clients().lineCount(), 1);
}

TEST_F(MainLoop, QuitAsksAndNoKeepsRunningYesEnds) {
    std::vector<test::AnsweredBox> boxes;
    {
        test::Script script;
        script.add(test::Script::answerBox(boxes, GTK_RESPONSE_NO));
        script.start();
        click(kQuitButton);
        EXPECT_EQ(runPass(bridge, shell), PassResult::Continue);
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Quit Tessel-Server");
    EXPECT_EQ(boxes[0].text, "Do you want to close Tessel-server ?");
    test::Script script;
    script.add(test::Script::answerBox(boxes, GTK_RESPONSE_YES));
    script.start();
    click(kQuitButton);
    EXPECT_EQ(runPass(bridge, shell), PassResult::End);
    EXPECT_TRUE(bridge.serial.ports.empty());
    EXPECT_TRUE(bridge.net.servers.empty());
}

TEST_F(MainLoop, CloseRequestEndsAfterACompletePass) {
    UniqueFd a = driver.connect();
    pty.write(kBusFrame);
    usleep(20000);
    gui.pushEvent({WindowEventCode::CloseRequest, 0, 0});
    EXPECT_EQ(runPass(bridge, shell), PassResult::End);
    std::uint8_t buf[64];
    EXPECT_EQ(::recv(a.get(), buf, sizeof buf, MSG_DONTWAIT), static_cast<ssize_t>(kBusFrame.size()));  // that pass still forwarded
}

TEST_F(MainLoop, LostSerialDeviceIsShownAndOpenedAgainWhenBack) {
    UniqueFd a = driver.connect();
    pty.master.reset();
    pty.slave.reset();
    ASSERT_TRUE(driver.runUntil([&] { return gui.statusField(kSerialField) == "Velbus serial lost"; }));
    EXPECT_TRUE(bridge.serial.ports.empty());
    test::Pty replacement;
    bridge.config.serialPortName = replacement.path;  // the same name, as a link would give
    ASSERT_TRUE(driver.runUntil([&] { return !bridge.serialLost; }, 3000));
    EXPECT_EQ(gui.statusField(kSerialField), "Velbus serial " + replacement.path);
    replacement.write(kBusFrame);
    EXPECT_EQ(driver.collect(a, kBusFrame.size()), kBusFrame);
}

TEST_F(MainLoop, FrameSplitAcrossTheQuitQuestionReachesTheClients) {
    UniqueFd a = driver.connect();
    pty.write(Bytes(kBusFrame.begin(), kBusFrame.begin() + 5));
    ASSERT_TRUE(driver.runUntil([&] { return bridge.busReceiver.extractor.hasKept(); }));
    std::vector<test::AnsweredBox> boxes;
    const auto asked = std::chrono::steady_clock::now();
    test::Script script;
    script.add([&] {  // the rest arrives while the question is up
        pty.write(Bytes(kBusFrame.begin() + 5, kBusFrame.end()));
        return true;
    });
    script.add([&] { return std::chrono::steady_clock::now() - asked > std::chrono::milliseconds(300); });
    script.add(test::Script::answerBox(boxes, GTK_RESPONSE_NO));
    script.start();
    click(kQuitButton);
    EXPECT_EQ(runPass(bridge, shell), PassResult::Continue);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(driver.collect(a, kBusFrame.size()), kBusFrame);
}

TEST_F(MainLoop, DisconnectAllGivesHalfReceivedRunsTheirRedLine) {
    UniqueFd a = driver.connect();
    test::sendAll(a, Bytes(kClientFrame.begin(), kClientFrame.begin() + 5));
    ASSERT_TRUE(driver.runUntil([&] { return !bridge.clientReceiver.kept.empty(); }));
    EXPECT_EQ(shell.monitorList().lineCount(), 0);
    click(kDisconnectAllButton);
    runPass(bridge, shell);
    ASSERT_EQ(shell.monitorList().lineCount(), 1);
    EXPECT_EQ(shell.monitorList().readCell(0, kHexColumn), "0FF8100202");
    EXPECT_NE(shell.monitorList().readCell(0, kSourceColumn).find(" from 127.0.0.1:"), std::string::npos);
    EXPECT_TRUE(bridge.clientReceiver.kept.empty());
    driver.runUntil([] { return false; }, 200);
    EXPECT_TRUE(pty.read(1, 100).empty());  // its turn at the bus writes nothing
}

// The window's client list changes the rows a connect or a disconnect touches and shows what a
// full redraw would: newest first, ended ones with their date, until their hour is over.
TEST_F(MainLoop, ClientListRowsChangeInPlace) {
    GtkClientList list(gui, kClientList);
    ClientTable table;
    test::FakeClock fake;
    fake.date = 1'796'681'650;  // 2026-12-07 22:14:10
    NetworkState net;
    for (ClientId id = 1; id <= 3; ++id) clientConnected(table, list, net, id, fake.now());
    fake.date += 5;
    clientDisconnected(table, list, 2, fake.date);
    countClientError(table, *findClient(table, 3));
    showChangedClients(table, list);
    ASSERT_EQ(list.lineCount(), 3);
    EXPECT_EQ(list.readCell(0, 4), "1");
    EXPECT_EQ(list.readCell(1, 3), "2026-12-07 22:14:15");
    EXPECT_EQ(list.readCell(2, 3), "");
    // The same rows as a full redraw makes.
    GtkClientList redrawn(gui, kClientList);
    std::vector<std::array<std::string, 4>> before;
    for (int i = 0; i < 3; ++i) before.push_back({list.readCell(i, 1), list.readCell(i, 2), list.readCell(i, 3), list.readCell(i, 4)});
    rebuildClientList(table, redrawn);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(before[static_cast<std::size_t>(i)],
                  (std::array<std::string, 4>{redrawn.readCell(i, 1), redrawn.readCell(i, 2), redrawn.readCell(i, 3),
                                              redrawn.readCell(i, 4)}));
    }
    fake.date += 3601;
    clientDisconnected(table, redrawn, 0, fake.date);
    ASSERT_EQ(redrawn.lineCount(), 2);
    EXPECT_EQ(redrawn.readCell(0, 4), "1");
    EXPECT_EQ(redrawn.readCell(1, 3), "");
}

}  // namespace
}  // namespace tessel
