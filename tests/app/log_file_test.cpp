#include <gtest/gtest.h>

#include <fstream>

#include "app/log_file.h"
#include "support/fakes.h"

namespace tessel {
namespace {

constexpr DateValue k2013 = 1362467289;  // 2013-03-05 07:08:09

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(LogFile, NameFollowsTheDateMask) {
    EXPECT_EQ(monitorLogName(k2013), "Tessel-server_2013-03-05_07-08.log");
}

TEST(LogFile, TopLineFirstTabSeparatedLineFeedEnded) {
    test::VectorMonitorList list;
    MonitorLine older;
    older.cells = {"07:08:01", "0FF800010BED04", "7", "ED/ED", "$00  from VELBUS"};
    MonitorLine newer;
    newer.cells = {"07:08:02", "0FFB0502F603F604", "8", "F6/F6", ""};
    list.insertTop(older);
    list.insertTop(newer);
    const std::string path = saveMonitorLog(list, k2013, ::testing::TempDir());
    EXPECT_EQ(readFile(path),
              "07:08:02\t0FFB0502F603F604\t8\tF6/F6\t\n"
              "07:08:01\t0FF800010BED04\t7\tED/ED\t$00  from VELBUS\n");
    std::remove(path.c_str());
}

TEST(LogFile, EmptyListGivesAnEmptyFileAndASecondSaveReplacesTheFirst) {
    test::VectorMonitorList list;
    MonitorLine line;
    line.cells = {"a", "b", "c", "d", "e"};
    list.insertTop(line);
    const std::string path = saveMonitorLog(list, k2013, ::testing::TempDir());
    list.clear();
    EXPECT_EQ(saveMonitorLog(list, k2013 + 30, ::testing::TempDir()), path);
    EXPECT_EQ(readFile(path), "");
    std::remove(path.c_str());
}

TEST(LogFile, UnwritableDirectoryIsSurvivedSilently) {
    test::VectorMonitorList list;
    EXPECT_NO_THROW(saveMonitorLog(list, k2013, "/nonexistent-directory"));
}

}  // namespace
}  // namespace tessel
