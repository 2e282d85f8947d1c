// The capture on disk: lines wait at most a second, the file rotates to FILE.1 with every line
// whole and each file starting with its header, a run after a power cut starts on a line of its
// own, and a file that cannot be written is one warning, tried again later without another.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/capture_file.h"
#include "service/capture_keeper.h"
#include "support/fakes.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kEvening = 1796850245123456;

class CaptureFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessel-capture-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/capture.txt";
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    CaptureFile::Say say() {
        return [this](const std::string& text, bool warning) { said.push_back((warning ? "W " : "I ") + text); };
    }
    static CaptureRecord aRecord(int i) {
        return {kEvening + i * 1000, i * 1000, CaptureDirection::FromBus, "bus",
                test::hexBytes("0F FB 40 07 E6 2B 20 27 20 2F 20 E8 04"), "$40 (Temp: 21.5\xC2\xB0" "C)"};
    }

    std::string dir, path;
    std::vector<std::string> said;
    const CaptureHeader header{1, "h", "/dev/pts/4", "3.08"};
};

TEST_F(CaptureFileTest, LinesWaitAtMostASecond) {
    CaptureFile file(path, kDefaultCaptureFileSize, header, say());
    ASSERT_TRUE(file.open(0));
    EXPECT_EQ(test::dueIn(file.deadline(), 0), -1);
    file.add(aRecord(1), 100);
    file.add(aRecord(2), 900);
    EXPECT_EQ(test::dueIn(file.deadline(), 900), 200);
    file.flushIfDue(1099);
    EXPECT_EQ(read(path), captureHeaderText(header));
    file.flushIfDue(1100);
    EXPECT_EQ(read(path), captureHeaderText(header) + captureLine(aRecord(1)) + captureLine(aRecord(2)));
    EXPECT_EQ(test::dueIn(file.deadline(), 1100), -1);
    EXPECT_TRUE(said.empty());
}

TEST_F(CaptureFileTest, RotatesToTwoFilesOfWholeLines) {
    const std::uint64_t limit = kMinimumCaptureFileSize;
    CaptureFile file(path, limit, header, say());
    ASSERT_TRUE(file.open(0));
    const int total = 3000;  // about four files' worth: the oldest go
    for (int i = 0; i < total; ++i) {
        file.add(aRecord(i), i);
        file.flushIfDue(i);
    }
    file.flush(total);
    ASSERT_TRUE(fs::exists(path + ".1"));
    EXPECT_FALSE(fs::exists(path + ".2"));
    std::vector<CaptureRecord> kept;
    for (const std::string& name : {path + ".1", path}) {
        EXPECT_LE(fs::file_size(name), limit) << name;
        std::istringstream in(read(name));
        const CaptureContents c = readCapture(in);
        EXPECT_EQ(c.error, "") << name;
        EXPECT_EQ(c.headers.size(), 1u) << name;
        EXPECT_EQ(c.badLines, 0u) << name;
        EXPECT_FALSE(c.tornLast) << name;
        kept.insert(kept.end(), c.records.begin(), c.records.end());
    }
    // The two files hold the newest records, in order, none missing between them.
    ASSERT_GT(kept.size(), 500u);
    const int first = total - static_cast<int>(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) ASSERT_EQ(kept[k], aRecord(first + static_cast<int>(k))) << k;
}

TEST_F(CaptureFileTest, ARunAfterAPowerCutStartsOnALineOfItsOwn) {
    std::ofstream(path, std::ios::binary) << captureHeaderText(header) << captureLine(aRecord(1))
                                          << captureLine(aRecord(2)).substr(0, 20);
    {
        CaptureFile file(path, kDefaultCaptureFileSize, header, say());
        ASSERT_TRUE(file.open(0));
        file.add(aRecord(3), 0);
        file.flush(0);
    }
    std::istringstream in(read(path));
    const CaptureContents c = readCapture(in);
    EXPECT_EQ(c.headers.size(), 2u);
    EXPECT_EQ(c.records, (std::vector<CaptureRecord>{aRecord(1), aRecord(3)}));
    EXPECT_EQ(c.badLines, 1u);  // the half line, told apart and passed over
}

TEST_F(CaptureFileTest, AFullDiskIsOneWarningAndATryAgainLater) {
    CaptureFile file("/dev/full", kDefaultCaptureFileSize, header, say());
    EXPECT_FALSE(file.open(0));  // not a file of its own
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "W cannot write the capture file /dev/full: Invalid argument; the capture goes on in memory only");
    EXPECT_FALSE(file.writing());
    file.add(aRecord(1), 10);
    EXPECT_EQ(test::dueIn(file.deadline(), 10), kCaptureRetryMillis - 10);
    file.flushIfDue(kCaptureRetryMillis);
    EXPECT_EQ(said.size(), 1u);
}

TEST_F(CaptureFileTest, AFileThatCannotBeMadeIsTriedAgainAndSaidWhenItComesBack) {
    // Its directory is a file: for root too, nothing can be made there until that is mended.
    std::ofstream(dir + "/sub") << "in the way";
    const std::string inside = dir + "/sub/capture.txt";
    CaptureFile file(inside, kDefaultCaptureFileSize, header, say());
    EXPECT_FALSE(file.open(0));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "W cannot write the capture file " + inside + ": Not a directory; the capture goes on in memory only");
    file.flushIfDue(kCaptureRetryMillis);
    EXPECT_EQ(said.size(), 1u);  // still not: no second warning
    fs::remove(dir + "/sub");
    fs::create_directory(dir + "/sub");
    file.flushIfDue(2 * kCaptureRetryMillis);
    EXPECT_TRUE(file.writing());
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[1], "I capture file " + inside + " written again");
    file.add(aRecord(1), 2 * kCaptureRetryMillis);
    file.flush(2 * kCaptureRetryMillis);
    EXPECT_EQ(read(inside), captureHeaderText(header) + captureLine(aRecord(1)));
}

// Given as a link (or one planted at the path), the file is not written through: its target
// keeps what it held, and the warning says why.
TEST_F(CaptureFileTest, ALinkAtThePathIsNotFollowed) {
    const std::string victim = dir + "/victim";
    { std::ofstream(victim) << "precious\n"; }
    fs::create_symlink(victim, path);
    CaptureFile file(path, kDefaultCaptureFileSize, header, say());
    EXPECT_FALSE(file.open(0));
    file.add(aRecord(1), 100);
    file.flush(200);
    EXPECT_EQ(read(victim), "precious\n");
    EXPECT_EQ(said, std::vector<std::string>{"W cannot write the capture file " + path +
                                             ": it is a symbolic link, which is not followed; the capture goes on in memory only"});
}

// Log rotation moves the file away; reopened, the capture goes on in a new file at the path,
// and nothing waiting is lost.
TEST_F(CaptureFileTest, ReopenedAfterRotationGoesOnInANewFile) {
    CaptureFile file(path, kDefaultCaptureFileSize, header, say());
    ASSERT_TRUE(file.open(0));
    file.add(aRecord(1), 100);
    fs::rename(path, path + ".rotated");
    ASSERT_TRUE(file.reopen(200));
    file.add(aRecord(2), 300);
    file.flush(400);
    std::string first = captureHeaderText(header), second = captureHeaderText(header);
    appendCaptureLine(first, aRecord(1));
    appendCaptureLine(second, aRecord(2));
    EXPECT_EQ(read(path + ".rotated"), first);
    EXPECT_EQ(read(path), second);
    EXPECT_TRUE(said.empty());
}

TEST(CaptureKeeper, TheFileHoldsWhatTheDownloadGives) {
    char pattern[] = "/tmp/tessel-capture-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/capture.txt";
    CaptureSettings settings;
    settings.filePath = path;
    std::vector<std::string> said;
    CaptureKeeper keeper(settings, {1, "h", "/dev/pts/4", "3.08"},
                         [&](const std::string& text, bool) { said.push_back(text); });
    keeper.start(0);
    keeper.clientJoined(3, "127.0.0.1:50312 on 0.0.0.0:8080 (plain)", {kEvening, 5}, 0);
    FrameQueue fromClient(2), fromBus(1);
    fromClient[0].text = "3";
    fromClient[0].sender = 3;
    fromClient[0].bytes = test::hexBytes("0F F8 10 02 02 01 E4 04");
    fromClient[1].text = "tessel-serverd";
    fromClient[1].bytes = test::hexBytes("0F 01");
    fromBus[0].text = "$30 from VELBUS";
    fromBus[0].bytes = test::hexBytes("0F F8 30 04 00 01 00 00 C4 04");
    keeper.framesPassed(fromClient, fromBus, {kEvening + 10, 15}, 1);
    keeper.clientLeft(3, {kEvening + 20, 25}, 2);
    // Its half-received run, handed on in the pass it left: still under its name.
    FrameQueue flushed(1);
    flushed[0].text = "3";
    flushed[0].sender = 3;
    flushed[0].bytes = test::hexBytes("0F 05");
    keeper.framesPassed(flushed, {}, {kEvening + 20, 25}, 2);
    keeper.event("writes to the bus held", {kEvening + 30, 35}, 3);
    keeper.stop({kEvening + 40, 45}, 4);
    std::string download;
    const auto text = keeper.download(INT64_MIN);
    char buffer[100];
    for (std::size_t n; (n = text->read(buffer, sizeof buffer)) > 0;) download.append(buffer, n);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream file;
    file << in.rdbuf();
    EXPECT_EQ(file.str(), download);
    std::istringstream lines(download);
    const CaptureContents c = readCapture(lines);
    ASSERT_EQ(c.records.size(), 8u);
    const char* client = "127.0.0.1:50312 on 0.0.0.0:8080 (plain)";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {client, "client connected"}, {"bus", "$30 (Push: Btn N\xC2\xB0" "1 Pressed)"},
        {client, captureFrameText(fromClient[0].bytes)},
        {"tessel-serverd", ""},       {client, "client gone"},                   {client, ""},
        {"bus", "writes to the bus held"},
        {"bus", "stopped"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.records[i].source, expected[i].first) << i;
        EXPECT_EQ(c.records[i].text, expected[i].second) << i;
    }
    EXPECT_TRUE(said.empty());
    fs::remove_all(pattern);
}

}  // namespace
}  // namespace tessel
