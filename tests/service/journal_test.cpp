#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "service/journal.h"

namespace tessel {
namespace {

ClientRecord client(const std::string& ip, std::uint16_t port, std::int64_t errors = 0) {
    ClientRecord r;
    r.ipText = ip;
    r.port = port;
    r.errorCount = errors;
    return r;
}

TEST(Journal, LinesForClientsAndTheSerialDevice) {
    EXPECT_EQ(clientJoinedLine(client("192.168.1.20", 50412)), "client 192.168.1.20:50412 connected");
    EXPECT_EQ(clientJoinedLine(client("[fe80::1]", 7)), "client [fe80::1]:7 connected");
    EXPECT_EQ(clientLeftLine(client("10.0.0.2", 4000)), "client 10.0.0.2:4000 gone, 0 runs not frames");
    EXPECT_EQ(clientLeftLine(client("10.0.0.2", 4000, 1)), "client 10.0.0.2:4000 gone, 1 run not frames");
    EXPECT_EQ(clientLeftLine(client("10.0.0.2", 4000, 12)), "client 10.0.0.2:4000 gone, 12 runs not frames");
    EXPECT_EQ(clientJoinedLine(client("10.0.0.2", 4000), "127.0.0.1:8080 (plain)"),
              "client 10.0.0.2:4000 via 127.0.0.1:8080 (plain) connected");
    EXPECT_EQ(clientLeftLine(client("10.0.0.2", 4000, 1), "0.0.0.0:8443 (tls+key)"),
              "client 10.0.0.2:4000 via 0.0.0.0:8443 (tls+key) gone, 1 run not frames");
    EXPECT_EQ(clientRefusedLine("10.0.0.3:5000", "wrong key", "0.0.0.0:8443 (key)"),
              "client 10.0.0.3:5000 via 0.0.0.0:8443 (key) refused: wrong key");
    EXPECT_EQ(serialLostLine("/dev/ttyACM0"), "Velbus serial /dev/ttyACM0 lost");
    EXPECT_EQ(serialBackLine("/dev/ttyACM0"), "Velbus serial /dev/ttyACM0 back");
}

TEST(Journal, TextsBecomeUtf8) {
    EXPECT_EQ(latin9ToUtf8("21.5\xB0" "C"), "21.5\xC2\xB0" "C");
    EXPECT_EQ(latin9ToUtf8("\xA4"), "\xE2\x82\xAC");  // the euro sign of ISO-8859-15
    EXPECT_EQ(latin9ToUtf8("plain"), "plain");
    EXPECT_EQ(latin9ToUtf8(""), "");
}

TEST(Journal, MonitorLinesAreTheLogFilesColumnsInUtf8) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    JournalMonitor monitor(out);
    MonitorLine line;
    line.cells = {"22:31:05", "0FFB0507E62B0000000000D904", "13", "D9/D9",
                  "$05 (Temp: 21.5\xB0" "C) from VELBUS"};
    monitor.insertTop(line);
    EXPECT_EQ(monitor.lineCount(), 0);  // nothing is kept
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, size),
              "22:31:05\t0FFB0507E62B0000000000D904\t13\tD9/D9\t$05 (Temp: 21.5\xC2\xB0" "C) from VELBUS\n");
    std::free(buffer);
}

TEST(Journal, LinesCarryTheirPriorityOnlyWhenStandardOutputIsTheJournal) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    struct stat st {};
    ASSERT_EQ(::fstat(::fileno(file), &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(isJournalStream(::fileno(file)));
    ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str(), 1);
    EXPECT_FALSE(isJournalStream(::fileno(file)));  // another stream: a terminal, a pipe, a file
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    EXPECT_TRUE(isJournalStream(::fileno(file)));
    ::unsetenv("JOURNAL_STREAM");

    writeJournalLine(file, "client 10.0.0.2:4000 connected", JournalLevel::Info, true);
    writeJournalLine(file, "Velbus serial /dev/ttyACM0 lost", JournalLevel::Warning, true);
    writeJournalLine(file, "tessel-serverd: cannot open", JournalLevel::Error, true);
    writeJournalLine(file, "stopped", JournalLevel::Info, false);
    std::rewind(file);
    char text[256] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    EXPECT_EQ(std::string(text, n),
              "<6>client 10.0.0.2:4000 connected\n<4>Velbus serial /dev/ttyACM0 lost\n"
              "<3>tessel-serverd: cannot open\nstopped\n");
}

}  // namespace
}  // namespace tessel
